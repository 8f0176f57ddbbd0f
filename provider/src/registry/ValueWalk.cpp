#include "PAL/ValueWalk.h"

#include <algorithm>
#include <cstring>

namespace PAL {
namespace {

// A value that asks for larger buffers is read again at most this many times: a backend that
// keeps asking is not followed for ever, and a cut name is never taken for the value's.
constexpr int Retries = 4;
// The registry's sizes are 32-bit: a buffer past that cannot be handed to it.
constexpr std::uint64_t Largest = UINT32_MAX;

} // namespace

RegistryApi::Status ValueWalk::query(KeyState& state) {
    return api.queryInfoKey(key, nullptr, nullptr, nullptr, &state.values, &state.longestName,
                            &state.longestData, &state.written);
}

bool ValueWalk::grow(std::uint32_t dataSize) {
    // Grown under us: the sizes asked again, or doubled where they were enough.
    KeyState now;
    if (query(now) != RegistryApi::Success) {
        now = KeyState();
    }
    const std::uint64_t nameSize =
        std::max(std::uint64_t{now.longestName} + 1, std::uint64_t{name.size()} * 2);
    const std::uint64_t dataRoom =
        std::max({std::uint64_t{now.longestData} + 1, std::uint64_t{dataSize},
                  std::uint64_t{data.size()} * 2});
    if (nameSize > Largest || (reading == Reading::Values && dataRoom > Largest)) {
        return false;
    }
    name.resize(nameSize);
    if (reading == Reading::Values) {
        data.resize(dataRoom);
    }
    return true;
}

RegistryApi::Status ValueWalk::read(std::uint32_t index, std::uint32_t& nameLength,
                                    std::uint32_t& type, std::uint32_t& dataSize) {
    const bool withData = reading == Reading::Values;
    RegistryApi::Status status = RegistryApi::MoreData;
    dataSize = 0;
    for (int tries = 0; status == RegistryApi::MoreData && tries <= Retries; ++tries) {
        if (tries > 0 && !grow(dataSize)) {
            break;
        }
        nameLength = std::uint32_t(name.size());
        dataSize = withData ? std::uint32_t(data.size()) : 0;
        type = 0;
        status = api.enumValue(key, index, name.data(), &nameLength, &type,
                               withData ? data.data() : nullptr, withData ? &dataSize : nullptr);
    }
    return status;
}

void ValueWalk::hand(const Visit& visit, std::uint32_t nameLength, std::uint32_t type,
                     std::uint32_t dataSize) const {
    const std::size_t room = std::min<std::size_t>(nameLength, name.size());
    const void* nul = std::memchr(name.data(), '\0', room);
    const std::size_t length =
        nul != nullptr ? std::size_t(static_cast<const char*>(nul) - name.data()) : room;
    std::size_t size = std::min<std::size_t>(dataSize, data.size());
    // REG_SZ's terminating NULs (some writers leave more than one); a NUL inside the data is
    // the data's.
    while (type == RegistryApi::RegSz && size > 0 && data[size - 1] == '\0') {
        --size;
    }
    visit(std::string_view(name.data(), length), type,
          std::string_view(reinterpret_cast<const char*>(data.data()), size));
}

RegistryApi::Status ValueWalk::pass(const Visit& visit, bool backward, bool* unchanged) {
    const bool names = reading == Reading::Names;
    KeyState before;
    RegistryApi::Status status = query(before);
    if (status != RegistryApi::Success) {
        if (unchanged != nullptr) {
            *unchanged = names;
        }
        return names ? RegistryApi::Success : status;
    }
    // The query's name length leaves the NUL out; its data length counts REG_SZ's NUL.
    const std::uint64_t nameSize = std::uint64_t{before.longestName} + 1;
    const bool fits = nameSize <= Largest;
    if (!fits && !names) {
        return RegistryApi::InvalidParameter;
    }
    if (fits) {
        name.resize(std::max<std::size_t>(name.size(), nameSize));
        if (!names) {
            data.resize(std::max<std::size_t>(data.size(), std::size_t(before.longestData) + 1));
        }
    }
    std::uint32_t nameLength = 0;
    std::uint32_t type = 0;
    std::uint32_t dataSize = 0;
    // Forward, a Names pass stops at the count; a Values pass at the registry's end. Going down,
    // an index that a delete emptied is passed over.
    const std::uint32_t count = fits ? before.values : 0;
    const bool toTheEnd = !names && !backward;
    for (std::uint32_t step = 0; toTheEnd || step < count; ++step) {
        const std::uint32_t index = backward ? count - 1 - step : step;
        status = read(index, nameLength, type, dataSize);
        if (status == RegistryApi::Success) {
            hand(visit, nameLength, type, dataSize);
        } else if (toTheEnd && status == RegistryApi::NoMoreItems) {
            break;
        } else if (!names && status != RegistryApi::NoMoreItems) {
            return status;
        }
    }
    if (unchanged != nullptr) {
        KeyState after;
        status = query(after);
        if (status != RegistryApi::Success && !names) {
            return status;
        }
        *unchanged = status == RegistryApi::Success && after.values == before.values &&
                     after.written == before.written;
    }
    return RegistryApi::Success;
}

RegistryApi::Status ValueWalk::passes(const std::function<void()>& beginPass, const Visit& visit,
                                      bool alternate) {
    if (snapshots()) {
        beginPass();
        return pass(visit);
    }
    for (int count = 1;; ++count) {
        beginPass();
        bool unchanged = false;
        const RegistryApi::Status status = pass(visit, alternate && count % 2 == 0, &unchanged);
        if (status != RegistryApi::Success || unchanged || count == MostPasses) {
            return status;
        }
    }
}

} // namespace PAL
