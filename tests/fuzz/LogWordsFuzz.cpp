// The trace component and mask word parsers from fuzzed word lists (the input cut at NUL
// bytes), each call made both without and with the raise flag, against the word tables.
#include "FuzzSupport.h"

#include "PAL/Exception.h"
#include "PAL/LogUtil.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace {

using hkfuzz::fail;

constexpr std::int32_t Unknown = 12;

std::int32_t component(const std::string& name) {
    for (std::int32_t c = 0; c < 12; ++c) {
        if (name == PAL::componentText(c)) {
            return c;
        }
    }
    return Unknown;
}

// The set, and whether a raising call throws (an unknown name before any "all").
std::set<std::int32_t> components(const std::vector<std::string>& names, bool& throws) {
    std::set<std::int32_t> result;
    throws = false;
    for (const std::string& name : names) {
        if (name == "all") {
            for (std::int32_t c = 0; c < 12; ++c) {
                result.insert(c);
            }
            return result;
        }
        const std::int32_t c = component(name);
        throws = throws || c == Unknown;
        result.insert(c);
    }
    return result;
}

std::uint32_t mask(const std::vector<std::string>& names, std::string& firstUnknown, bool& throws) {
    struct Word {
        const char* name;
        bool replaces;
        std::uint32_t bits;
    };
    static const Word words[] = {
        {"entryexit", false, 1}, {"debug", false, 2},        {"fine", false, 4}, {"perf", false, 8},
        {"normal", false, 1},    {"all", true, 0xFFFFFFFFu}, {"off", true, 0}};
    std::uint32_t result = 0;
    throws = false;
    for (const std::string& name : names) {
        const Word* found = nullptr;
        for (const Word& w : words) {
            if (name == w.name) {
                found = &w;
            }
        }
        if (!found) {
            if (!throws) {
                firstUnknown = name;
            }
            throws = true;
            continue;
        }
        result = found->replaces ? found->bits : (result | found->bits);
    }
    return result;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    hkfuzz::logNothing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> names = hkfuzz::split(data, size, '\0');
    namespace LU = PAL::LogUtils;

    const std::int32_t expected = component(names[0]);
    if (LU::getTraceComponent(names[0], false) != expected) {
        fail("getTraceComponent", names[0]);
    }
    try {
        if (LU::getTraceComponent(names[0], true) != expected || expected == Unknown) {
            fail("getTraceComponent raising", names[0]);
        }
    } catch (const PAL::InvalidArgument& error) {
        if (expected != Unknown || error.getMessage().find("Invalid trace component string: " +
                                                           names[0]) == std::string::npos) {
            fail("getTraceComponent raised", error.getMessage());
        }
    }

    bool throws = false;
    const std::set<std::int32_t> set = components(names, throws);
    if (LU::getTraceComponents(names, false) != set) {
        fail("getTraceComponents", names[0]);
    }
    try {
        if (LU::getTraceComponents(names, true) != set || throws) {
            fail("getTraceComponents raising", names[0]);
        }
    } catch (const PAL::InvalidArgument&) {
        if (!throws) {
            fail("getTraceComponents raised", names[0]);
        }
    }

    std::string unknown;
    const std::uint32_t bits = mask(names, unknown, throws);
    if (LU::getTraceMask(names, false) != bits) {
        fail("getTraceMask", names[0]);
    }
    try {
        if (LU::getTraceMask(names, true) != bits || throws) {
            fail("getTraceMask raising", names[0]);
        }
    } catch (const PAL::InvalidArgument& error) {
        const std::string message = error.getMessage();
        if (!throws || message.find("Invalid log mask string: " + unknown) == std::string::npos ||
            !endsWith(message, " : (0)")) {
            fail("getTraceMask raised", message);
        }
    }
    return 0;
}
