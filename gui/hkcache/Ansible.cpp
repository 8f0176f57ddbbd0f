#include "Ansible.h"

#include "AnsibleTask.h"
#include "HkCache.h"
#include "Import.h"

#include "KeyModel/Digest.h"
#include "KeyModel/HostKey.h"

#include "PAL/Escape.h"
#include "PAL/ReadFile.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

namespace hkcache {
namespace {

using Json = nlohmann::json;

// Per cache (as hkcache names it), the host's cached lines in PuTTY's form, "name data".
using CacheLines = std::map<std::string, std::vector<std::string>>;

// Ends the task: its message is the result's msg.
struct TaskFailure {
    std::string msg;
};

// Far more than any task's arguments; a longer file is no arguments file.
constexpr std::size_t MaxArgsBytes = std::size_t(16) << 20;

struct Step {
    int status;
    std::string out;
    std::string err;
};

Step run(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = runHkCache(args, out, err);
    return {status, out.str(), err.str()};
}

std::string trimmed(std::string text) {
    text.erase(text.find_last_not_of("\n") + 1);
    return text;
}

std::vector<std::string> selectionArgs(const std::vector<std::string>& command,
                                       const AnsibleTask& task) {
    std::vector<std::string> args = command;
    args.insert(args.end(), {"--cache", task.cache, "--port", std::to_string(task.port)});
    if (!task.type.empty()) {
        args.insert(args.end(), {"--type", task.type});
    }
    args.push_back(task.host);
    return args;
}

// Both listings walk the caches in the same order: JSON names each line's cache.
CacheLines hostLines(const AnsibleTask& task) {
    const Step json = run(selectionArgs({"list", "--format", "json"}, task));
    const Step putty = run(selectionArgs({"list", "--format", "putty"}, task));
    if (json.status > exitCode(ExitStatus::NothingMatched)) {
        throw TaskFailure{trimmed(json.err)};
    }
    const Json keys = Json::parse(json.out).at("keys");
    std::vector<std::string> lines;
    std::istringstream text(putty.out);
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    if (putty.status > exitCode(ExitStatus::NothingMatched) || lines.size() != keys.size()) {
        throw TaskFailure{"the cache changed while it was read; run the task again"};
    }
    CacheLines byCache;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        byCache[keys[i].at("cache").get<std::string>()].push_back(lines[i]);
    }
    return byCache;
}

// PuTTY's data of each key the task gives, by fingerprint: what a dry run's "would add" writes.
std::map<std::string, std::string> keyData(const AnsibleTask& task) {
    std::map<std::string, std::string> data;
    for (const std::string& line : task.keys) {
        std::istringstream words(line);
        const std::vector<std::string> fields{std::istream_iterator<std::string>(words), {}};
        for (std::size_t i = 0; i + 1 < fields.size(); ++i) {
            const auto wire = KeyModel::base64Decode(fields[i + 1]);
            const auto putty = wire ? KeyModel::puttyKeyFromWire(*wire) : std::nullopt;
            if (putty && KeyModel::puttyTypeOf(fields[i]) == putty->puttyType) {
                data[KeyModel::sha256Fingerprint(*wire)] = putty->data;
            }
        }
    }
    return data;
}

// A key line of another type than the task's would be imported under another name.
void checkKeyTypes(const AnsibleTask& task) {
    for (const std::string& line : task.keys) {
        std::istringstream words(line);
        std::string first;
        std::string second;
        words >> first >> second;
        const bool pubLine = !KeyModel::puttyTypeOf(first).empty();
        const std::string type = KeyModel::puttyTypeOf(pubLine ? first : second);
        if (!task.type.empty() && type != task.type && (pubLine ? first : second) != task.type) {
            throw TaskFailure{"key is of type " + (pubLine ? first : second) + ", not " +
                              task.type};
        }
    }
}

Json importKeys(const AnsibleTask& task, std::string& warnings) {
    checkKeyTypes(task);
    ImportOptions options;
    options.hosts = {task.hostSpec()};
    options.cache = task.cache;
    options.replace = task.replace;
    options.dryRun = task.checkMode;
    options.output = "json";
    std::string text;
    for (const std::string& line : task.keys) {
        text += line + "\n";
    }
    std::ostringstream out;
    std::ostringstream err;
    Diagnostics diagnostics(err);
    const ExitStatus status = importText(text, "key", options, out, diagnostics);
    warnings += err.str();
    if (status == ExitStatus::Conflict) {
        throw TaskFailure{"another key is cached under the name (replace: true replaces it): " +
                          trimmed(err.str())};
    }
    if (status != ExitStatus::Done) {
        throw TaskFailure{trimmed(err.str())};
    }
    return Json::parse(out.str());
}

// The keys come from the live server, checked against the pins, by hkcache fetch.
Json fetchKeys(const AnsibleTask& task, std::string& warnings) {
    std::vector<std::string> args = {"fetch", task.hostSpec(), "--format",
                                     "json",  "--cache",       task.cache};
    for (const std::string& pin : task.fingerprints) {
        args.insert(args.end(), {"--fingerprint", pin});
    }
    if (task.replace) {
        args.push_back("--replace");
    }
    if (task.checkMode) {
        args.push_back("--dry-run");
    }
    const Step fetched = run(args);
    warnings += fetched.err;
    if (fetched.status != exitCode(ExitStatus::Done)) {
        throw TaskFailure{trimmed(fetched.err)};
    }
    return Json::parse(fetched.out);
}

Json removeKeys(const AnsibleTask& task, std::string& warnings) {
    std::vector<std::string> args = selectionArgs({"remove", "--format", "json"}, task);
    if (task.checkMode) {
        args.insert(args.begin() + 1, "--dry-run");
    }
    const Step removed = run(args);
    warnings += removed.err;
    if (removed.status > exitCode(ExitStatus::NothingMatched)) {
        throw TaskFailure{trimmed(removed.err)};
    }
    return Json::parse(removed.out);
}

// What a dry run's changes would leave: the lines before with each change made.
CacheLines predicted(CacheLines lines, const Json& changes,
                     const std::map<std::string, std::string>& data) {
    for (const Json& change : changes) {
        std::vector<std::string>& cache = lines[change.at("cache").get<std::string>()];
        const std::string name = change.at("name").get<std::string>();
        const std::string action = change.at("action").get<std::string>();
        const Json& fingerprint = change.at("fingerprint");
        const auto known =
            fingerprint.is_string() ? data.find(fingerprint.get<std::string>()) : data.end();
        const std::string line =
            name + " " + (known != data.end() ? known->second : "(" + fingerprint.dump() + ")");
        const auto at = std::find_if(cache.begin(), cache.end(), [&](const std::string& old) {
            return old.rfind(name + " ", 0) == 0;
        });
        if (action == "would add") {
            cache.push_back(line);
        } else if (at != cache.end() && action == "would replace") {
            *at = line;
        } else if (at != cache.end()) {
            cache.erase(at);
        }
    }
    return lines;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

Json diffOf(const AnsibleTask& task, const CacheLines& before, const CacheLines& after) {
    Json diffs = Json::array();
    CacheLines caches = before;
    caches.insert(after.begin(), after.end());
    for (const auto& entry : caches) {
        const auto was = before.find(entry.first);
        const auto is = after.find(entry.first);
        const std::string header = entry.first + " (" + task.hostSpec() + ")";
        diffs.push_back({{"before", was == before.end() ? "" : joined(was->second)},
                         {"after", is == after.end() ? "" : joined(is->second)},
                         {"before_header", header},
                         {"after_header", header}});
    }
    return diffs;
}

// "added 2, replaced 1", what the changes did, or that nothing changed.
std::string summary(const Json& changes) {
    std::map<std::string, int> counts;
    for (const Json& change : changes) {
        ++counts[change.at("action").get<std::string>()];
    }
    std::string text;
    for (const auto& [action, count] : counts) {
        text += (text.empty() ? "" : ", ") + action + " " + std::to_string(count);
    }
    return text.empty() ? "no change: the cache is as the task says" : text;
}

Json resultOf(const AnsibleTask& task, const Json& document, const CacheLines& before,
              const CacheLines& after, const std::string& warnings) {
    const Json& changes = document.at("changes");
    Json fingerprints = Json::object();
    for (const Json& change : changes) {
        fingerprints[change.at("cache").get<std::string>()].push_back(change.at("fingerprint"));
    }
    Json result = {{"changed", !changes.empty()},
                   {"failed", false},
                   {"msg", summary(changes)},
                   {"changes", changes},
                   {"fingerprints", fingerprints}};
    if (task.diff) {
        result["diff"] = diffOf(task, before, after);
    }
    std::istringstream lines(warnings);
    for (std::string line; std::getline(lines, line);) {
        result["warnings"].push_back(line);
    }
    return result;
}

Json doTask(const AnsibleTask& task) {
    const CacheLines before = hostLines(task);
    std::string warnings;
    const Json document = !task.present               ? removeKeys(task, warnings)
                          : task.fingerprints.empty() ? importKeys(task, warnings)
                                                      : fetchKeys(task, warnings);
    const CacheLines after = !task.diff ? CacheLines()
                             : task.checkMode
                                 ? predicted(before, document.at("changes"), keyData(task))
                                 : hostLines(task);
    return resultOf(task, document, before, after, warnings);
}

std::string readArgs(const std::string& path) {
    PAL::FileRead read = PAL::readFile(path, MaxArgsBytes);
    if (read.tooLong) {
        throw TaskFailure{"the arguments file " + path + " is too long"};
    }
    if (!read.bytes) {
        throw TaskFailure{"cannot read the arguments file " + path};
    }
    return std::move(*read.bytes);
}

ExitStatus runTask(const std::string& path, std::ostream& out) {
    Json result;
    try {
        std::string reason;
        const std::optional<AnsibleTask> task = parseAnsibleTask(readArgs(path), &reason);
        if (!task) {
            throw TaskFailure{reason};
        }
        result = doTask(*task);
    } catch (const TaskFailure& failure) {
        result = {{"changed", false}, {"failed", true}, {"msg", failure.msg}};
    } catch (const Json::exception& e) {
        result = {
            {"changed", false}, {"failed", true}, {"msg", std::string("hkcache: ") + e.what()}};
    }
    // Names that are not UTF-8 become U+FFFD: Ansible reads the result as JSON text.
    out << PAL::jsonEscapedControls(result.dump(-1, ' ', false, Json::error_handler_t::replace))
        << '\n';
    return result["failed"].get<bool>() ? ExitStatus::Failure : ExitStatus::Done;
}

} // namespace

Command declareAnsible(CLI::App& app) {
    auto path = std::make_shared<std::string>();
    CLI::App* command =
        app.add_subcommand("ansible", "Run one task of the putty_hostkey Ansible modules");
    // For the modules, not for people: documented in the manual, left out of --help.
    command->group("");
    command->add_option("ARGS_FILE", *path, "The arguments file ansible-core wrote")->required();
    return {command, [path](std::ostream& out, Diagnostics&) { return runTask(*path, out); }};
}

} // namespace hkcache
