#include "core/VELP2POptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/VELP2PConfig.h"
#include "core/VELP2PPresenceSettings.h"
#include "host/VELLastError.h"
#include "host/VELSystem.h"

namespace {

constexpr double kMaxLivenessSeconds = 3600;

// Seconds from text: a finite decimal number, nothing after it.
bool ParseSeconds(const std::string& text, double& seconds) {
  if (text.empty() || text.find_first_of(" \t\n") != std::string::npos)
    return false;
  char* end = nullptr;
  errno = 0;
  seconds = std::strtod(text.c_str(), &end);
  return errno == 0 && end && *end == '\0' && std::isfinite(seconds) && seconds >= 0 &&
         seconds <= kMaxLivenessSeconds;
}

VELResult BadLiveness(const std::string& value) {
  return VELFail(VELP2P_ERROR_BAD_OPTION,
                 "liveness \"" + value + "\" is not a number of seconds from 0 (off) to 3600");
}

// A switch from the environment: on unless the variable is the number 0.
bool SwitchFromEnvironment(const char* variable) {
  const char* value = VELGetEnv(variable);
  if (!value)
    return true;
  char* end = nullptr;
  return !(std::strtol(value, &end, 10) == 0 && end != value);
}

}  // namespace

VELP2POptions VELP2POptions::FromEnvironment(Mode mode) {
  VELP2POptions options;
  options.mode = mode;
  if (const char* login = VELGetEnv("VELP2PLogin"); login && mode == Mode::kCollaboration) {
    options.hasLogin = true;
    options.login = login;
  }
  if (const char* path = VELGetEnv("VELP2PConfig"))
    options.configPath = path;
  if (const char* liveness = VELGetEnv("VELP2PLiveness"))
    options.liveness = liveness;
  options.announce = SwitchFromEnvironment("VELP2PAnnounce");
  options.persistent = SwitchFromEnvironment("VELP2PPersistent");
  options.httpEndPoints = VELGetEnv("VELP2PHTTPEndPoint") != nullptr;
  return options;
}

VELResult VELP2POptions::Set(const std::string& name, const std::string& value) {
  double seconds = 0;
  if (name == "login") {
    if (value.empty())
      return VELFail(VELP2P_ERROR_BAD_OPTION, "login is empty");
    hasLogin = true;
    login = value;
  } else if (name == "mode") {
    if (value != "collaboration" && value != "standard")
      return VELFail(VELP2P_ERROR_BAD_OPTION,
                     "mode \"" + value + "\" is neither \"collaboration\" nor \"standard\"");
    mode = value == "standard" ? Mode::kStandard : Mode::kCollaboration;
  } else if (name == "config") {
    if (value.empty())
      return VELFail(VELP2P_ERROR_BAD_OPTION, "config needs a file path");
    configPath = value;
    hasEndpoints = false;
    endpoints.clear();
  } else if (name == "endpoints") {
    hasEndpoints = true;
    endpoints = value;
    configPath.clear();
  } else if (name == "liveness") {
    if (!ParseSeconds(value, seconds))
      return BadLiveness(value);
    liveness = value;
  } else if (name == "announce" || name == "persistent") {
    if (value != "0" && value != "1")
      return VELFail(VELP2P_ERROR_BAD_OPTION,
                     name + " \"" + value + "\" is neither \"0\" (off) nor \"1\" (on)");
    (name == "announce" ? announce : persistent) = value == "1";
  } else {
    return VELFail(VELP2P_ERROR_BAD_OPTION, "no option \"" + name + "\"");
  }
  return VEL_S_OK;
}

VELResult VELP2POptions::Check() const {
  double seconds = 0;
  if (!liveness.empty() && !ParseSeconds(liveness, seconds))
    return BadLiveness(liveness);
  return VEL_S_OK;
}

int VELP2POptions::LivenessIntervalMs() const {
  double seconds = 0;
  if (liveness.empty())
    return VELP2PPresenceSettings::kDefaultLivenessMs;
  if (!ParseSeconds(liveness, seconds) || seconds <= 0)
    return 0;
  // Shorter would have peers announce themselves many times a second.
  const int intervalMs = static_cast<int>(seconds * 1000);
  return intervalMs < VELP2PPresenceSettings::kMinLivenessMs ? VELP2PPresenceSettings::kMinLivenessMs
                                                             : intervalMs;
}

std::string VELP2POptions::EndPointsOrigin() const {
  return hasEndpoints ? std::string("endpoints") : configPath;
}

VELResult VELP2POptions::ReadEndPoints(VELListValVELUnicodeString& classNames,
                                       VELListValVELUnicodeString& addresses, VELRawCollint& ports,
                                       VELP2PEndPointConfigSource& source, bool& useDefaults) const {
  useDefaults = false;
  std::string content = endpoints;
  if (!hasEndpoints) {
    if (configPath.empty()) {
      useDefaults = true;
      return VEL_S_OK;
    }
    errno = 0;
    if (VEL_FAILED(VELP2PLoadEndPointConfig(configPath.c_str(), content))) {
      const int error = errno;
      return VELP2PRefuseEndPointConfig(configPath, 0,
                                        std::string("cannot read the file") +
                                            (error ? std::string(" (") + std::strerror(error) + ")" : ""));
    }
  }
  if (VEL_FAILED(VELP2PParseEndPointConfig(content, classNames, addresses, ports, &source))) {
    useDefaults = true;  // an empty configuration
    return VEL_S_OK;
  }
  if (source.firstSkipped != 0)
    return VELP2PRefuseEndPointConfig(EndPointsOrigin(), source.firstSkipped, source.problem);
  if (classNames.Size() == 0)
    return VELP2PRefuseEndPointConfig(EndPointsOrigin(), 0, "no endpoint line");
  return VEL_S_OK;
}
