// The restore command: a backup cut into its removals' sections, numbered newest first; the one
// asked for is imported as PuTTY's lines, its line numbers those of the file.
#include "Restore.h"

#include "Backup.h"
#include "Caches.h"
#include "Import.h"
#include "ImportInput.h"
#include "Report.h"

#include "KeyModel/KeyReader.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace hkcache {
namespace {

// One removal's part of a backup: from its dated line to the next one's.
struct Section {
    std::size_t offset = 0;
    std::size_t line = 1; // its first line's number in the file
    std::string removed;  // the time its dated line gives; empty: none
    std::vector<std::string> caches;
};

// The sections of `text`, oldest first. Lines before the first dated one (a backup written by
// hand, or before removals were dated) are one of their own when they hold anything.
std::vector<Section> sectionsOf(std::string_view text) {
    std::vector<Section> sections(1);
    std::string from;
    const auto ended = [&] {
        if (sections.back().caches.empty() && !from.empty()) {
            sections.back().caches.push_back(from); // one cache: no "# <cache>" line
        }
    };
    for (const SectionLine& line : sectionLines(text)) {
        if (!line.dated) {
            sections.back().caches.emplace_back(line.text);
            continue;
        }
        ended();
        // "removed <time> from <caches>"
        const std::string_view dated =
            line.text.substr(0, 8) == "removed " ? line.text.substr(8) : std::string_view();
        const std::size_t at = dated.find(" from ");
        sections.push_back(Section{line.offset, line.line, std::string(dated.substr(0, at)), {}});
        from = at == std::string_view::npos ? std::string() : std::string(dated.substr(at + 6));
    }
    ended();
    const std::size_t firstDated = sections.size() > 1 ? sections[1].offset : text.size();
    if (text.substr(0, firstDated).find_first_not_of(" \t\r\n") == std::string_view::npos) {
        sections.erase(sections.begin());
    }
    return sections;
}

// The backup named, or the default one of the caches selected (one file on Windows, one
// beside each cache file on POSIX); nullopt after the error.
std::optional<std::string> backupPath(const RestoreOptions& options, Diagnostics& diagnostics) {
    if (!options.backup.empty()) {
        return options.backup;
    }
    std::optional<std::string> path;
    for (const Cache& cache : selectCaches(options.cache, diagnostics)) {
        std::string reason;
        const std::optional<std::string> own = defaultBackupPath(cache, &reason);
        if (!own) {
            diagnostics.error(cache.name, reason);
            return std::nullopt;
        }
        if (path && *path != *own) {
            diagnostics.error(options.cache, "each cache has a backup of its own: name the BACKUP");
            return std::nullopt;
        }
        path = own;
    }
    if (!path && !diagnostics.failed()) {
        diagnostics.error(options.cache,
                          "no cache selected, and no backup of one: name the BACKUP");
    }
    return diagnostics.failed() ? std::nullopt : path;
}

ExitStatus listSections(const std::vector<Section>& sections, std::string_view text,
                        const RestoreOptions& options, std::ostream& out,
                        Diagnostics& diagnostics) {
    Report report =
        Report::sections(options.format == "json" ? Format::Json : Format::Text, out, diagnostics);
    for (std::size_t i = sections.size(); i-- > 0;) {
        const std::size_t end = i + 1 < sections.size() ? sections[i + 1].offset : text.size();
        const std::string_view part = text.substr(sections[i].offset, end - sections[i].offset);
        const std::size_t keys =
            KeyModel::recordPuttyLines(part, hostsEscaped(), MaxImportBytes).keys.size();
        report.add(
            BackupSection{sections.size() - i, sections[i].removed, sections[i].caches, keys});
    }
    report.finish();
    return ExitStatus::Listed;
}

} // namespace

ExitStatus restoreKeys(const RestoreOptions& options, std::ostream& out, Diagnostics& diagnostics) {
    const std::optional<std::string> path = backupPath(options, diagnostics);
    std::vector<std::optional<PAL::FileOwner>> owners;
    const std::optional<std::vector<std::string>> texts =
        path ? readInputs({*path}, MaxImportBytes, diagnostics,
                          PAL::runsPrivileged() ? &owners : nullptr)
             : std::nullopt;
    if (!texts) {
        return ExitStatus::Failure;
    }
    const std::string_view text = texts->front();
    const std::vector<Section> sections = sectionsOf(text);
    if (options.list) {
        return listSections(sections, text, options, out, diagnostics);
    }
    owners.resize(1);
    ImportInput input{inputName(*path), text, 1, 1, owners.front()};
    if (!options.all) {
        if (options.section == 0 || options.section > sections.size()) {
            diagnostics.error(*path, sections.empty()
                                         ? std::string("it holds no section")
                                         : "no section " + std::to_string(options.section) +
                                               " (it holds " + std::to_string(sections.size()) +
                                               ")");
            return ExitStatus::Failure;
        }
        const std::size_t index = sections.size() - options.section;
        const std::size_t end =
            index + 1 < sections.size() ? sections[index + 1].offset : text.size();
        input.text = text.substr(sections[index].offset, end - sections[index].offset);
        input.fileLine = sections[index].line;
    }
    ImportOptions import;
    import.format = "putty";
    import.cache = options.cache;
    import.replace = options.replace;
    import.dryRun = options.dryRun;
    import.output = options.format;
    return importInputs({input}, import, out, diagnostics);
}

Command declareRestore(CLI::App& app) {
    auto options = std::make_shared<RestoreOptions>();
    CLI::App* command = app.add_subcommand(
        "restore", "Put back the keys of the last removal (or another) from its backup");
    command->add_option("BACKUP", options->backup,
                        "The backup (default: the cache's own, as remove keeps it)");
    CLI::Option* list = command->add_flag(
        "--list", options->list,
        "Show the backup's sections, newest first: number, time removed, keys, caches");
    CLI::Option* section =
        command
            ->add_option("--section", options->section,
                         "Put back section N (1, the default: the newest; as --list numbers them)")
            ->type_name("N")
            ->excludes(list);
    command->add_flag("--all", options->all, "Put back every section")
        ->excludes(section)
        ->excludes(list);
    addCacheOption(*command, options->cache);
    command->add_flag("--replace", options->replace, "Replace a different key cached for a name")
        ->excludes(list);
    command->add_flag("--dry-run", options->dryRun, "Show what would change, change nothing")
        ->excludes(list);
    addFormatOption(*command, options->format, {"text", "json"},
                    "text (default) or json: what was changed, or the sections");
    return {command, [options](std::ostream& out, Diagnostics& diagnostics) {
                return restoreKeys(*options, out, diagnostics);
            }};
}

} // namespace hkcache
