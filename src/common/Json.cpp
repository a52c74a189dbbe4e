#include "common/Json.h"

#include <cmath>

namespace quorvantile::json {

Json encodeValue(double value)
{
    if (!std::isfinite(value)) {
        throw EncodingError("a non-finite number cannot be written as JSON");
    }
    return value; // written in its shortest form that reads back to the same double
}

bool decodeValue(const Json& value, bool& out)
{
    if (!value.is_boolean()) {
        return false;
    }
    out = value.get<bool>();
    return true;
}

bool decodeValue(const Json& value, double& out)
{
    if (!value.is_number()) {
        return false;
    }
    out = value.get<double>();
    return std::isfinite(out);
}

bool decodeValue(const Json& value, std::string& out)
{
    if (!value.is_string()) {
        return false;
    }
    out = value.get<std::string>();
    return true;
}

} // namespace quorvantile::json
