// The completion's answers: the command table as CLI11 holds it, and the tables of the values
// that no CLI11 check lists.
#include "Completion.h"

#include "Command.h"
#include "HostFilter.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <string_view>

namespace hkcache {
namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// --help lists neither a command nor an option without a group (the Ansible modules' entry).
bool shown(const std::string& group) {
    return !group.empty();
}

const CLI::App* commandNamed(const CLI::App& app, const std::string& name) {
    for (const CLI::App* command : app.get_subcommands({})) {
        if (command->get_name() == name) {
            return command;
        }
    }
    return nullptr;
}

// The option that `word` names (--name or -n), or nullptr.
const CLI::Option* optionNamed(const CLI::App& command, const std::string& word) {
    for (const CLI::Option* option : command.get_options()) {
        for (const std::string& name : option->get_lnames()) {
            if (word == "--" + name) {
                return option;
            }
        }
        for (const std::string& name : option->get_snames()) {
            if (word == "-" + name) {
                return option;
            }
        }
    }
    return nullptr;
}

// A check's set as CLI11 describes it, "{a,b}" (or a mapping's "{a->A,b->B}"); none: empty.
std::vector<std::string> checkedValues(const std::string& typeName) {
    std::vector<std::string> values;
    const std::size_t open = typeName.find('{');
    const std::size_t close = typeName.find('}', open);
    if (open == std::string::npos || close == std::string::npos) {
        return values;
    }
    for (std::size_t start = open + 1; start <= close;) {
        const std::size_t end = std::min(typeName.find(',', start), close);
        const std::string item = typeName.substr(start, end - start);
        values.push_back(item.substr(0, item.find("->")));
        start = end + 1;
    }
    return values;
}

// What a value of this kind (an option's type name, a positional's name) completes to.
std::vector<std::string> valuesOfKind(const std::string& kind, const std::string& typed) {
    if (kind == "FILE" || kind == "BACKUP") {
        return {":files"};
    }
    if (kind == "HOST") {
        return {":hosts"};
    }
    if (kind == "CACHE") {
        return startsWith(typed, "user:") ? std::vector<std::string>{":users"} : cacheWords();
    }
    if (kind == "TYPE") {
        return keyTypeNames();
    }
    return {}; // free text: a port, a fingerprint, a number
}

std::vector<std::string> valuesOf(const CLI::Option& option, const std::string& typed) {
    const std::string typeName = option.get_type_name();
    std::vector<std::string> values = checkedValues(typeName);
    return values.empty() ? valuesOfKind(typeName.substr(0, typeName.find(':')), typed) : values;
}

std::vector<std::string> optionsOf(const CLI::App& command, const std::string& typed) {
    // A short name only once one is typed: "-" alone lists each option once.
    const bool shortNames = typed.size() > 1 && typed[1] != '-';
    std::vector<std::string> names;
    for (const CLI::Option* option : command.get_options()) {
        if (!shown(option->get_group())) {
            continue;
        }
        for (const std::string& name : option->get_lnames()) {
            names.push_back("--" + name);
        }
        for (const std::string& name : option->get_snames()) {
            if (shortNames) {
                names.push_back("-" + name);
            }
        }
    }
    return names;
}

std::vector<std::string> positionalOf(const CLI::App& command, const std::string& typed) {
    for (const CLI::Option* option : command.get_options()) {
        if (!option->nonpositional()) {
            return valuesOfKind(option->get_name(true), typed);
        }
    }
    return {};
}

// What may stand for the last word, and `typed`, what of it is typed.
std::vector<std::string> candidates(const CLI::App& app, const std::vector<std::string>& words,
                                    std::string& typed) {
    const CLI::App* command = nullptr;
    const CLI::Option* wanting = nullptr; // the option whose value comes next
    for (std::size_t i = 0; i + 1 < words.size(); ++i) {
        const std::string& word = words[i];
        if (wanting != nullptr) {
            // bash makes "--format=json" three words.
            wanting = word == "=" ? wanting : nullptr;
        } else if (startsWith(word, "-")) {
            const CLI::Option* option = optionNamed(command ? *command : app, word);
            wanting = option != nullptr && option->get_type_size_max() > 0 ? option : nullptr;
        } else if (command == nullptr && (command = commandNamed(app, word)) == nullptr) {
            return {};
        }
    }
    typed = words.back() == "=" && wanting != nullptr ? "" : words.back();
    if (wanting != nullptr) {
        return valuesOf(*wanting, typed);
    }
    if (startsWith(typed, "-")) {
        return optionsOf(command ? *command : app, typed);
    }
    if (command != nullptr) {
        return positionalOf(*command, typed);
    }
    std::vector<std::string> names;
    for (const CLI::App* each : app.get_subcommands({})) {
        if (shown(each->get_group())) {
            names.push_back(each->get_name());
        }
    }
    return names;
}

} // namespace

void complete(const CLI::App& app, const std::vector<std::string>& words, std::ostream& out) {
    if (words.empty()) {
        return;
    }
    std::string typed;
    for (const std::string& word : candidates(app, words, typed)) {
        if (startsWith(word, ":") || startsWith(word, typed)) {
            out << word << '\n';
        }
    }
}

} // namespace hkcache
