// Helpers shared by the example tools: command lines (getopt_long), the
// password source, stop signals, event names and round-trip statistics.
// Nothing here is part of the library.
#ifndef VESK_EXAMPLE_COMMON_H
#define VESK_EXAMPLE_COMMON_H

#include <getopt.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "VeskMessageSystem.h"

namespace vesk_example {

struct Option {
    const char* name;        // without the leading "--"
    const char* value_name;  // shown in the usage text; nullptr: a switch, given without a value
    const char* help;        // nullptr: accepted, but not shown in the usage text
};

// Parses "--name value" and "--name=value" with getopt_long against a fixed
// list of options; --help prints the usage text and --version the version.
class CommandLine {
public:
    // kRun: go on; kDone: --help or --version answered (exit 0); kError: the
    // error is printed (exit 2).
    enum class Result { kRun, kDone, kError };

    CommandLine(const char* program, const char* summary, std::vector<Option> options, const char* epilog = "")
        : m_program(program), m_summary(summary), m_epilog(epilog), m_options(std::move(options))
    {
    }

    Result Parse(int argc, char** argv)
    {
        enum : int { kHelp = 'h', kVersion = 'V', kFirstOption = 256 };
        std::vector<option> table;
        for (size_t i = 0; i < m_options.size(); ++i)
            table.push_back({m_options[i].name, m_options[i].value_name != nullptr ? required_argument : no_argument,
                             nullptr, kFirstOption + static_cast<int>(i)});
        table.push_back({"help", no_argument, nullptr, kHelp});
        table.push_back({"version", no_argument, nullptr, kVersion});
        table.push_back({nullptr, 0, nullptr, 0});
        opterr = 0;  // the messages below name the tool and point to --help
        for (;;) {
            const int previous = optind;
            const int found = getopt_long(argc, argv, ":h", table.data(), nullptr);
            if (found == -1)
                break;
            if (found == kHelp) {
                PrintUsage(stdout);
                return Result::kDone;
            }
            if (found == kVersion) {
                std::printf("%s %s\n", m_program, VeskVersion());
                return Result::kDone;
            }
            if (found == ':')
                return Fail(std::string("missing value for ") + argv[previous]);
            if (found == '?')
                return Fail(std::string("unknown option '") + argv[previous] + "'");
            m_values[m_options[static_cast<size_t>(found - kFirstOption)].name] = optarg != nullptr ? optarg : "";
        }
        if (optind < argc)
            return Fail(std::string("unexpected argument '") + argv[optind] + "'");
        return Result::kRun;
    }

    // The exit status for a result other than kRun.
    static int ExitStatus(Result result) { return result == Result::kDone ? 0 : 2; }

    bool Has(const std::string& name) const { return m_values.count(name) != 0; }

    std::string Text(const std::string& name, const std::string& fallback = "") const
    {
        const auto found = m_values.find(name);
        return found != m_values.end() ? found->second : fallback;
    }

    // The option's value as a whole number in [min, max]; `fallback` when the
    // option is absent, or false (after an error message) when it is invalid.
    bool Number(const std::string& name, long min, long max, long fallback, long& out) const
    {
        if (!Has(name)) {
            out = fallback;
            return true;
        }
        const std::string text = Text(name);
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno != 0 || value < min || value > max) {
            Error("--" + name + " must be a number from " + std::to_string(min) + " to " + std::to_string(max) +
                  ", not '" + text + "'");
            return false;
        }
        out = value;
        return true;
    }

    bool Require(const std::string& name) const
    {
        if (Has(name))
            return true;
        Error("--" + name + " is required");
        return false;
    }

    void Error(const std::string& message) const
    {
        std::fprintf(stderr, "%s: %s (see --help)\n", m_program, message.c_str());
    }

    void PrintUsage(std::FILE* out) const
    {
        std::fprintf(out, "usage: %s [options]\n%s\n\noptions:\n", m_program, m_summary);
        for (const Option& option : m_options) {
            if (option.help == nullptr)
                continue;
            const std::string left = std::string("--") + option.name +
                                     (option.value_name != nullptr ? std::string(" ") + option.value_name : "");
            std::fprintf(out, "  %-22s %s\n", left.c_str(), option.help);
        }
        std::fprintf(out, "  %-22s %s\n", "--help", "show this text");
        std::fprintf(out, "  %-22s %s\n", "--version", "show the version");
        std::fprintf(out, "%s", m_epilog);
    }

private:
    Result Fail(const std::string& message) const
    {
        Error(message);
        return Result::kError;
    }

    const char* m_program;
    const char* m_summary;
    const char* m_epilog;
    std::vector<Option> m_options;
    std::map<std::string, std::string> m_values;
};

// The password for a login: the first line of --password-file FILE, or else
// the environment variable VESK_PASSWORD. Never a command-line argument: any
// user of the machine can read those (ps, /proc/PID/cmdline).
inline bool ReadPassword(const CommandLine& options, std::string& password)
{
    if (options.Has("password-file")) {
        const std::string path = options.Text("password-file");
        std::ifstream file(path);
        if (!file || !std::getline(file, password)) {
            options.Error("cannot read a password from '" + path + "'");
            return false;
        }
        return true;
    }
    if (const char* variable = std::getenv("VESK_PASSWORD")) {
        password = variable;
        return true;
    }
    options.Error("no password: set VESK_PASSWORD or give --password-file FILE");
    return false;
}

// Calls `on_stop` on a thread of its own when SIGINT or SIGTERM arrives. The
// constructor blocks both signals before the library starts its threads, so
// that every thread inherits the mask and only this one takes them.
class StopSignals {
public:
    explicit StopSignals(std::function<void(int)> on_stop) : m_on_stop(std::move(on_stop))
    {
        sigemptyset(&m_signals);
        sigaddset(&m_signals, SIGINT);
        sigaddset(&m_signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
        m_thread = std::thread([this] {
            int signal_number = 0;
            while (sigwait(&m_signals, &signal_number) == 0 && !m_leaving.load()) {
                m_on_stop(signal_number);
            }
        });
    }
    ~StopSignals()
    {
        // The waiting thread takes this signal as its cue to leave.
        m_leaving.store(true);
        pthread_kill(m_thread.native_handle(), SIGTERM);
        m_thread.join();
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    std::function<void(int)> m_on_stop;
    sigset_t m_signals;
    std::atomic<bool> m_leaving{false};
    std::thread m_thread;
};

// The exit status of a tool that a signal stopped early, as shells report it.
inline int InterruptedStatus(int signal_number)
{
    return 128 + signal_number;
}

// The session event codes a handler for session events receives.
inline const char* EventName(int ev)
{
    using namespace VeskNetworkSystem;
    switch (ev) {
        case NETWORK_EVENT_ACCEPT:
            return "accepted";
        case NETWORK_EVENT_CONNECT:
            return "connected";
        case NETWORK_EVENT_CLOSE:
            return "closed";
        case NETWORK_EVENT_READ:
            return "data";
        case NETWORK_EVENT_HANDSHAKE_FINISH:
            return "handshake finished";
        default:
            return "event";
    }
}

// Prints "min, median, p99 and max" of round-trip times in microseconds.
inline void PrintRoundTrips(std::vector<long> micros)
{
    if (micros.empty())
        return;
    std::sort(micros.begin(), micros.end());
    const size_t n = micros.size();
    const size_t p99 = (n * 99 + 99) / 100 - 1;  // the nearest-rank 99th percentile
    std::printf("round trip (us): min %ld, median %ld, p99 %ld, max %ld\n", micros.front(), micros[n / 2],
                micros[std::min(p99, n - 1)], micros.back());
}

}  // namespace vesk_example

#endif
