#include "processes/ProcessDetailSnapshot.h"

namespace quorvantile {

} // namespace quorvantile
