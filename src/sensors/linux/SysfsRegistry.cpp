#include "sensors/linux/SysfsRegistry.h"

#include "sensors/linux/Sysfs.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace quorvantile {
namespace {

class SysfsEntry final : public RegistryEntry {
public:
    SysfsEntry(std::shared_ptr<const SysfsServiceClass> serviceClass, std::string device)
        : serviceClass_(std::move(serviceClass)), device_(std::move(device))
    {
    }

    [[nodiscard]] std::optional<std::uint64_t> registryEntryID() const override { return sysfs::entryID(device_); }

    [[nodiscard]] std::optional<RegistryValue> property(std::string_view name) const override
    {
        return serviceClass_->property(device_, name);
    }

private:
    std::shared_ptr<const SysfsServiceClass> serviceClass_;
    std::string device_;
};

// Candidates as listed at the start of the walk, each with whether it matched.
using Classified = std::vector<std::pair<std::string, bool>>;

class SysfsIterator final : public RegistryIterator {
public:
    SysfsIterator(std::shared_ptr<const SysfsServiceClass> serviceClass, std::vector<sysfs::ClassDevice> listed,
        Classified classified)
        : serviceClass_(std::move(serviceClass)), listed_(std::move(listed)), classified_(std::move(classified))
    {
    }

    [[nodiscard]] std::unique_ptr<RegistryEntry> next() override
    {
        while (position_ < classified_.size()) {
            const auto& [device, matched] = classified_[position_++];
            if (matched) {
                return std::make_unique<SysfsEntry>(serviceClass_, device);
            }
        }
        return nullptr;
    }

    [[nodiscard]] bool isValid() const override
    {
        if (!serviceClass_) {
            return true; // a class nothing can match never changes
        }
        const auto entries = serviceClass_->candidateEntries();
        if (entries && sysfs::sameEntries(*entries, listed_)) {
            return true; // the very entries listed at the start: nothing can have come or gone
        }
        auto devices = serviceClass_->candidates();
        if (!devices) {
            return false;
        }
        std::vector<std::string> now;
        now.reserve(devices->size());
        for (sysfs::ClassDevice& device : *devices) {
            now.push_back(std::move(device.path));
        }
        std::sort(now.begin(), now.end());
        std::vector<std::string> before;
        before.reserve(classified_.size());
        for (const auto& candidate : classified_) {
            before.push_back(candidate.first);
        }
        std::sort(before.begin(), before.end());
        if (now == before) {
            return true; // the same devices under entries made anew
        }
        // Something came or went; only the new candidates need their attributes read.
        std::vector<std::string> matchedBefore;
        for (const auto& [device, matched] : classified_) {
            if (matched) {
                matchedBefore.push_back(device);
            }
        }
        std::sort(matchedBefore.begin(), matchedBefore.end());
        std::vector<std::string> matchedNow;
        for (const std::string& device : now) {
            const bool known = std::binary_search(before.begin(), before.end(), device);
            if (known ? std::binary_search(matchedBefore.begin(), matchedBefore.end(), device)
                      : serviceClass_->classify(device).matches) {
                matchedNow.push_back(device);
            }
        }
        return matchedNow == matchedBefore;
    }

private:
    std::shared_ptr<const SysfsServiceClass> serviceClass_;
    std::vector<sysfs::ClassDevice> listed_;
    Classified classified_;
    std::size_t position_ = 0;
};

} // namespace

SysfsRegistry::SysfsRegistry(Classes classes) : classes_(std::move(classes)) { }

std::unique_ptr<RegistryIterator> SysfsRegistry::matchingServices(std::string_view className)
{
    const auto found = classes_.find(className);
    if (found == classes_.end() || !found->second) {
        // No service of this class.
        return std::make_unique<SysfsIterator>(nullptr, std::vector<sysfs::ClassDevice> {}, Classified {});
    }
    const std::shared_ptr<const SysfsServiceClass>& serviceClass = found->second;
    // The last walk's devices and settled verdicts hold while the class lists the very same entries.
    auto remembered = walked_.find(className);
    const auto entries = remembered == walked_.end() ? std::nullopt : serviceClass->candidateEntries();
    if (!entries || !sysfs::sameEntries(*entries, remembered->second.devices)) {
        auto candidates = serviceClass->candidates();
        if (!candidates) {
            return nullptr;
        }
        Walked listed {std::move(*candidates), {}};
        listed.settled.resize(listed.devices.size());
        remembered = walked_.insert_or_assign(std::string(className), std::move(listed)).first;
    }
    Walked& walked = remembered->second;
    Classified classified;
    classified.reserve(walked.devices.size());
    for (std::size_t index = 0; index < walked.devices.size(); ++index) {
        const std::string& device = walked.devices[index].path;
        std::optional<bool>& settled = walked.settled[index];
        bool matches = settled.value_or(false);
        if (!settled) {
            const auto verdict = serviceClass->classify(device);
            matches = verdict.matches;
            if (verdict.settled) {
                settled = matches;
            }
        }
        classified.emplace_back(device, matches);
    }
    return std::make_unique<SysfsIterator>(serviceClass, walked.devices, std::move(classified));
}

} // namespace quorvantile
