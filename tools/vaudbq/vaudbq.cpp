// vaudbq: the administrator's queue tool. Checks, dumps, counts and salvages the queue files of
// a spool directory (or one queue file), read-only: only salvage writes, and only to its
// destination outside the spool. The command line, the usage text and the dispatch live here.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <map>
#include <streambuf>
#include <string>
#include <vector>

#include "tool.h"
#include "vfw/log.h"

namespace {

const char kVersion[] = "vaudbq 1.0";

const char kUsage[] =
    "Usage: vaudbq [options] SUBCOMMAND PATH [DEST]\n"
    "Inspects the queue files of a spool directory (PATH), or one queue file, read-only.\n"
    "\n"
    "Subcommands:\n"
    "  check         the integrity check of every queue file, with every finding\n"
    "  raw           every block as it is on disk, then the free list\n"
    "  accounting    the accounting line and one line per block\n"
    "  dump          the text vaudumpat writes (the record chain with payloads)\n"
    "  stats         records, bytes, members, free blocks, oldest and newest block times\n"
    "  salvage DEST  every record that can be read whole, written to DEST\n"
    "\n"
    "Options:\n"
    "  -h, --help     this text\n"
    "  -V, --version  the version\n"
    "  -q, --quiet    nothing on standard output; errors and the status only\n"
    "      --json     stats: one JSON object\n"
    "      --split    salvage: DEST is a new directory, one file per record\n"
    "  -f, --force    salvage: replace an existing DEST\n"
    "\n"
    "Exit status:\n"
    "  0  no finding (salvage: nothing skipped)\n"
    "  1  usage\n"
    "  2  a path could not be examined, opened, read or written; the result is incomplete,\n"
    "     so this status wins over any finding\n"
    "  3  the worst finding: a block on neither list (grade 2)\n"
    "  4  the worst finding: the accounting or a free-list link disagrees (grade 3)\n"
    "  5  structural damage (grade 4): a damaged or unreadable block, a file shorter than a\n"
    "     block, a dump stopped by a corrupt block, a record salvage skipped\n";

struct UsageError {
    std::string text;
};

using Runner = int (*)(const vaudbq::Options&, const vaudbq::Target&);

const std::map<std::string, Runner>& runners() {
    static const std::map<std::string, Runner> table = {
        {"check", vaudbq::runCheck},           {"raw", vaudbq::runRaw},
        {"accounting", vaudbq::runAccounting}, {"dump", vaudbq::runDump},
        {"stats", vaudbq::runStats},           {"salvage", vaudbq::runSalvage}};
    return table;
}

// Sets the option `arg`; false when it is no option of this command.
bool setOption(const std::string& arg, vaudbq::Options& options) {
    const std::map<std::string, bool vaudbq::Options::*> flags = {
        {"-q", &vaudbq::Options::quiet},    {"--quiet", &vaudbq::Options::quiet},
        {"--json", &vaudbq::Options::json}, {"--split", &vaudbq::Options::split},
        {"-f", &vaudbq::Options::force},    {"--force", &vaudbq::Options::force}};
    auto flag = flags.find(arg);
    if (flag == flags.end()) {
        return false;
    }
    options.*(flag->second) = true;
    return true;
}

// The options and words of the command line; "--" ends the options. Help and version are
// answered by the caller before anything else is looked at.
vaudbq::Options parse(const std::vector<std::string>& args) {
    vaudbq::Options options;
    std::vector<std::string> words;
    bool optionsEnd = false;
    for (const std::string& arg : args) {
        if (!optionsEnd && arg == "--") {
            optionsEnd = true;
        } else if (!optionsEnd && arg.size() > 1 && arg[0] == '-') {
            if (!setOption(arg, options)) {
                throw UsageError{"unknown option '" + arg + "'"};
            }
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) {
        throw UsageError{"no subcommand given"};
    }
    options.subcommand = words[0];
    if (runners().count(options.subcommand) == 0) {
        throw UsageError{"unknown subcommand '" + options.subcommand + "'"};
    }
    const bool salvage = options.subcommand == "salvage";
    const size_t wanted = salvage ? 3 : 2;
    if (words.size() < wanted) {
        throw UsageError{salvage && words.size() == 2 ? "salvage needs a DEST"
                                                      : options.subcommand + " needs a PATH"};
    }
    if (words.size() > wanted) {
        throw UsageError{"unexpected argument '" + words[wanted] + "'"};
    }
    options.path = words[1];
    if (salvage) {
        options.dest = words[2];
    }
    if (options.json && options.subcommand != "stats") {
        throw UsageError{"--json applies to stats only"};
    }
    if ((options.split || options.force) && !salvage) {
        throw UsageError{std::string(options.split ? "--split" : "--force") +
                         " applies to salvage only"};
    }
    if (options.path.empty() || (salvage && options.dest.empty())) {
        throw UsageError{"an empty path"};
    }
    return options;
}

// Discards what is written to it.
class NullBuffer : public std::streambuf {
  protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Under --quiet, standard output and the framework's own standard-error text are discarded
// while it lives; the streams get their buffers back before the process ends and flushes them.
class QuietStreams {
  public:
    explicit QuietStreams(bool quiet)
        : m_out(quiet ? std::cout.rdbuf(&m_discard) : nullptr),
          m_err(quiet ? std::cerr.rdbuf(&m_discard) : nullptr) {}
    ~QuietStreams() {
        if (m_out != nullptr) {
            std::cout.rdbuf(m_out);
            std::cerr.rdbuf(m_err);
        }
    }
    QuietStreams(const QuietStreams&) = delete;
    QuietStreams& operator=(const QuietStreams&) = delete;

  private:
    NullBuffer m_discard;
    std::streambuf* m_out;
    std::streambuf* m_err;
};

int run(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--") {
            break;
        }
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return vaudbq::OK;
        }
        if (arg == "-V" || arg == "--version") {
            std::cout << kVersion << '\n';
            return vaudbq::OK;
        }
    }
    vaudbq::Options options;
    try {
        options = parse(args);
    } catch (const UsageError& e) {
        vaudbq::complain(e.text + " (try 'vaudbq --help')");
        return vaudbq::USAGE;
    }
    QuietStreams quiet(options.quiet);
    try {
        const vaudbq::Target target = vaudbq::resolveTarget(options.path);
        return runners().at(options.subcommand)(options, target);
    } catch (const vaudbq::Failure& e) {
        vaudbq::complain(e.what());
        return e.status();
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The queue classes log their findings and read failures; this command reports them on
    // its own streams and leaves no records behind.
    vfw::getLogger("")->setLevel(vfw::LEVEL_DISABLED);
    vfw::getLogger("")->setMemoryLevel(vfw::LEVEL_DISABLED);
    try {
        const int status = run(std::vector<std::string>(argv + 1, argv + argc));
        errno = 0;
        std::cout.flush();
        if (!std::cout || std::fflush(stdout) != 0 || std::ferror(stdout)) {
            vaudbq::complain(std::string("standard output: ") +
                             (errno != 0 ? std::strerror(errno) : "write failed"));
            return vaudbq::ERROR;
        }
        return status;
    } catch (const std::exception& e) {
        vaudbq::complain(e.what());
    }
    return vaudbq::ERROR;
}
