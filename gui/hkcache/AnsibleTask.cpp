#include "AnsibleTask.h"

#include "HostFilter.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <sstream>

namespace hkcache {
namespace {

using Json = nlohmann::json;

// A value that does not fit its option; its message is the task's failure.
struct BadValue {
    std::string reason;
};

const char* const Options[] = {"name",  "port",  "key",     "fingerprint", "type",
                               "state", "cache", "replace", "hkcache_path"};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// Ansible's booleans: a template may hand a string or a number where YAML would not.
bool boolOf(const std::string& option, const Json& value) {
    if (value.is_boolean()) {
        return value.get<bool>();
    }
    const std::string text = value.is_number_integer() ? std::to_string(value.get<long long>())
                             : value.is_string()       ? lower(value.get<std::string>())
                                                       : std::string();
    for (const char* yes : {"yes", "on", "1", "true", "y", "t"}) {
        if (text == yes) {
            return true;
        }
    }
    for (const char* no : {"no", "off", "0", "false", "n", "f"}) {
        if (text == no) {
            return false;
        }
    }
    throw BadValue{option + " must be a boolean, not " + value.dump()};
}

std::string stringOf(const std::string& option, const Json& value) {
    if (!value.is_string()) {
        throw BadValue{option + " must be a string, not " + value.dump()};
    }
    return value.get<std::string>();
}

unsigned portOf(const Json& value) {
    const std::string text = value.is_number_integer() ? std::to_string(value.get<long long>())
                             : value.is_string()       ? value.get<std::string>()
                                                       : std::string();
    const std::optional<unsigned> port = parsePort(text);
    if (!port) {
        throw BadValue{"port must be a number from 1 to 65535, not " + value.dump()};
    }
    return *port;
}

// A string of several lines, or a list of such strings: the non-blank lines that are not
// comments, as a .pub file or a known_hosts file holds them.
std::vector<std::string> linesOf(const std::string& option, const Json& value) {
    std::vector<std::string> lines;
    const Json items = value.is_array() ? value : Json::array({value});
    for (const Json& item : items) {
        std::istringstream text(stringOf(option, item));
        for (std::string line; std::getline(text, line);) {
            line.erase(line.find_last_not_of(" \t\r") + 1);
            line.erase(0, line.find_first_not_of(" \t"));
            if (!line.empty() && line[0] != '#') {
                lines.push_back(line);
            }
        }
    }
    if (lines.empty()) {
        throw BadValue{option + " holds no key"};
    }
    return lines;
}

std::vector<std::string> fingerprintsOf(const Json& value) {
    std::vector<std::string> pins;
    for (const std::string& line : linesOf("fingerprint", value)) {
        std::istringstream words(line);
        for (std::string pin; words >> pin;) {
            if (pin.rfind("SHA256:", 0) != 0) {
                throw BadValue{"fingerprint must be SHA256:..., not " + pin};
            }
            pins.push_back(pin);
        }
    }
    return pins;
}

std::string cacheOf(const Json& value) {
    const std::string cache = stringOf("cache", value);
    if (cache == "current" || cache == "default" || cache == "all" ||
        (cache.rfind("user:", 0) == 0 && cache.size() > 5)) {
        return cache;
    }
    throw BadValue{"cache must be current, default, all or user:NAME, not " + cache};
}

void setName(AnsibleTask& task, const Json& value, std::optional<unsigned>& namedPort) {
    const std::string name = stringOf("name", value);
    const std::optional<HostPattern> pattern = parseHostPattern(name);
    if (!pattern) {
        throw BadValue{"name must be HOST, HOST:PORT or [HOST]:PORT, not " + name};
    }
    task.host = pattern->host;
    namedPort = pattern->port;
}

void setOption(AnsibleTask& task, const std::string& option, const Json& value,
               std::optional<unsigned>& port) {
    if (option == "port") {
        port = portOf(value);
    } else if (option == "key") {
        task.keys = linesOf(option, value);
    } else if (option == "fingerprint") {
        task.fingerprints = fingerprintsOf(value);
    } else if (option == "type") {
        task.type = stringOf(option, value);
    } else if (option == "state") {
        const std::string state = stringOf(option, value);
        if (state != "present" && state != "absent") {
            throw BadValue{"state must be present or absent, not " + state};
        }
        task.present = state == "present";
    } else if (option == "cache") {
        task.cache = cacheOf(value);
    } else if (option == "replace") {
        task.replace = boolOf(option, value);
    }
}

// The options read one by one; what one cannot hold without the others is checked after.
AnsibleTask taskOf(const Json& args) {
    AnsibleTask task;
    std::optional<unsigned> port;
    std::optional<unsigned> namedPort;
    for (const auto& [option, value] : args.items()) {
        if (option == "_ansible_check_mode") {
            task.checkMode = boolOf(option, value);
        } else if (option == "_ansible_diff") {
            task.diff = boolOf(option, value);
        } else if (option.rfind("_ansible_", 0) == 0 || value.is_null()) {
            continue; // ansible-core's own, or an option the task left out
        } else if (std::find(std::begin(Options), std::end(Options), option) == std::end(Options)) {
            throw BadValue{"unsupported parameter " + option +
                           " (name, port, key, fingerprint, type, state, cache, replace, "
                           "hkcache_path)"};
        } else if (option == "name") {
            setName(task, value, namedPort);
        } else {
            setOption(task, option, value, port);
        }
    }
    if (task.host.empty()) {
        throw BadValue{"name is required"};
    }
    if (port && namedPort && *port != *namedPort) {
        throw BadValue{"name gives port " + std::to_string(*namedPort) + ", port gives " +
                       std::to_string(*port)};
    }
    task.port = port ? *port : namedPort.value_or(22);
    if (!task.keys.empty() && !task.fingerprints.empty()) {
        throw BadValue{"key and fingerprint are mutually exclusive"};
    }
    const bool keyed = !task.keys.empty() || !task.fingerprints.empty();
    if (task.present != keyed) {
        throw BadValue{task.present ? "state=present needs key or fingerprint"
                                    : "state=absent removes by name, port and type: no key"};
    }
    return task;
}

} // namespace

std::string AnsibleTask::hostSpec() const {
    return port == 22 ? host : "[" + host + "]:" + std::to_string(port);
}

std::optional<AnsibleTask> parseAnsibleTask(std::string_view argsText, std::string* error) {
    const Json args = Json::parse(argsText, nullptr, false);
    if (!args.is_object()) {
        *error = "the arguments file is no JSON object";
        return std::nullopt;
    }
    try {
        return taskOf(args);
    } catch (const BadValue& bad) {
        *error = bad.reason;
    } catch (const Json::exception& e) {
        *error = e.what();
    }
    return std::nullopt;
}

} // namespace hkcache
