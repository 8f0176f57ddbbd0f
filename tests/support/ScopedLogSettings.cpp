#include "support/ScopedLogSettings.h"

#include "PAL/LogUtil.h"

namespace hktest {

// The directory is read raw: getLogDirectory() would decide an undecided one.
ScopedLogSettings::ScopedLogSettings()
    : directory(PAL::detail::storedLogDirectory()), logFile(PAL::getLogFileName()),
      traceFile(PAL::getTraceFileName()), level(PAL::getLogLevel()), mask(PAL::getTraceMaskBits()),
      logMax(PAL::getLogMaxSize()), traceMax(PAL::getTraceMaxSize()),
      components(PAL::getEnabledTraceComponents()) {}

ScopedLogSettings::~ScopedLogSettings() {
    PAL::setLogDirectory(directory);
    PAL::setLogFileName(logFile);
    PAL::setTraceFileName(traceFile);
    PAL::setLogLevel(level);
    PAL::setTraceMaskBits(mask);
    PAL::setLogMaxSize(logMax);
    PAL::setTraceMaxSize(traceMax);
    PAL::clearTraceComponents();
    for (std::int32_t c : components) {
        PAL::enableTraceComponent(c);
    }
}

} // namespace hktest
