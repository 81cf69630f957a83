// Helpers shared by the example tools: "--name value" command lines, event
// names and round-trip statistics. Nothing here is part of the library.
#ifndef VESK_EXAMPLE_COMMON_H
#define VESK_EXAMPLE_COMMON_H

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "VeskMessageSystem.h"

namespace vesk_example {

struct Option {
    const char* name;        // without the leading "--"
    const char* value_name;  // shown in the usage text
    const char* help;
};

// Parses "--name value" and "--name=value" pairs against a fixed list of
// options. --help prints the usage text.
class CommandLine {
public:
    enum class Result { kRun, kHelp, kError };

    CommandLine(const char* program, const char* summary, std::vector<Option> options)
        : m_program(program), m_summary(summary), m_options(std::move(options))
    {
    }

    Result Parse(int argc, char** argv)
    {
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            if (arg == "--help" || arg == "-h") {
                PrintUsage(stdout);
                return Result::kHelp;
            }
            if (arg.compare(0, 2, "--") != 0)
                return Fail("unexpected argument '" + arg + "'");
            std::string name = arg.substr(2);
            std::string value;
            bool has_value = false;
            if (const auto equals = name.find('='); equals != std::string::npos) {
                value = name.substr(equals + 1);
                name.resize(equals);
                has_value = true;
            }
            if (Find(name) == nullptr)
                return Fail("unknown option '--" + name + "'");
            if (!has_value) {
                if (i + 1 >= argc)
                    return Fail("missing value for --" + name);
                value = argv[++i];
            }
            m_values[name] = value;
        }
        return Result::kRun;
    }

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
            const std::string left = std::string("--") + option.name + " " + option.value_name;
            std::fprintf(out, "  %-22s %s\n", left.c_str(), option.help);
        }
        std::fprintf(out, "  %-22s %s\n", "--help", "show this text");
    }

private:
    const Option* Find(const std::string& name) const
    {
        for (const Option& option : m_options)
            if (name == option.name)
                return &option;
        return nullptr;
    }

    Result Fail(const std::string& message) const
    {
        Error(message);
        return Result::kError;
    }

    const char* m_program;
    const char* m_summary;
    std::vector<Option> m_options;
    std::map<std::string, std::string> m_values;
};

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
