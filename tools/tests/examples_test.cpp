// Every example the tools print in their help and every command of the shell blocks of
// docs/tools.md and docs/j1939.md, run as written on the simulated bus that
// scripts/demo.sh sets up: two channels on one bus (devices 1 and 2 of the example INI
// file), the example INI file in the working directory, and the engine of
// examples/j1939_engine.log replayed at 500 kbit/s. Each must end by itself with status 0
// (a line ending in "|| true" may fail with status 1).
//
// Help examples: the lines after "examples:" that start with a program name; a line
// "(with ...: COMMAND)" under one names what must run beside it. Documentation: each
// ```sh block is one scenario; a line ending in "&" runs in the background, started
// before the lines after it once it has printed its first status line; "> FILE" keeps the
// standard output in FILE.

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/environment.hpp"
#include "platform/process.hpp"
#include "sim_fixture.hpp"
#include "tool_runner.hpp"
#include "tools/node_cli.hpp"
#include "tools/rp1210_cli.hpp"

namespace {

using tools_test::Running;

// The engine of the demo; the documentation states it, the test starts it.
constexpr const char* kEngine =
    "tarnsim-node replay examples/j1939_engine.log --loop --bitrate 500000 &";

struct Scenario {
    std::string origin;
    std::vector<std::string> lines;  // in order; "&" lines run in the background
};

std::string trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool is_command(const std::string& line) {
    return line.rfind("rp1210 ", 0) == 0 || line.rfind("tarnsim-node ", 0) == 0;
}

std::vector<Scenario> help_scenarios(const std::string& program, const std::string& help) {
    std::vector<Scenario> scenarios;
    std::istringstream in(help);
    bool in_examples = false;
    for (std::string raw; std::getline(in, raw);) {
        std::string line = trim(raw);
        for (const char* label : {"examples:", "example:"}) {
            if (line.rfind(label, 0) == 0) {
                in_examples = true;
                line = trim(line.substr(std::string(label).size()));
            }
        }
        if (!in_examples) {
            continue;
        }
        if (line.rfind("(with ", 0) == 0 && !scenarios.empty()) {
            const std::size_t colon = line.find(": ");
            const std::string companion = line.substr(colon + 2, line.size() - colon - 3);
            EXPECT_TRUE(is_command(companion)) << line;
            auto& lines = scenarios.back().lines;
            lines.insert(lines.begin(), companion + " &");
        } else if (is_command(line)) {
            scenarios.push_back({program + " help", {line}});
        }
    }
    return scenarios;
}

std::vector<Scenario> doc_scenarios(const std::string& file) {
    std::vector<Scenario> scenarios;
    std::ifstream in(tools_test::binary_dir() / ("tools_test_" + file), std::ios::binary);
    EXPECT_TRUE(in.good()) << file;
    bool in_block = false;
    for (std::string raw; std::getline(in, raw);) {
        const std::string line = trim(raw);
        if (!in_block && line == "```sh") {
            in_block = true;
            scenarios.push_back({file, {}});
        } else if (in_block && line == "```") {
            in_block = false;
        } else if (in_block && !line.empty() && line[0] != '#' && line != kEngine) {
            EXPECT_TRUE(is_command(line)) << file << ": " << line;
            scenarios.back().lines.push_back(line);
        }
    }
    return scenarios;
}

struct CommandLine {
    std::string program;
    std::vector<std::string> args;
    bool background = false;
    bool may_fail = false;
    std::optional<std::string> output_file;
};

CommandLine parse(std::string line) {
    CommandLine c;
    const auto strip_suffix = [&line](const std::string& suffix) {
        if (line.size() >= suffix.size() &&
            line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0) {
            line = trim(line.substr(0, line.size() - suffix.size()));
            return true;
        }
        return false;
    };
    c.background = strip_suffix("&");
    c.may_fail = strip_suffix("|| true");
    if (const std::size_t redirect = line.find(" > "); redirect != std::string::npos) {
        c.output_file = trim(line.substr(redirect + 3));
        line = line.substr(0, redirect);
    }
    std::istringstream words(line);
    words >> c.program;
    for (std::string w; words >> w;) {
        c.args.push_back(w);
    }
    return c;
}

class Examples : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(platform::set_environment_variable("TARNSIM_CONFIG", sim.path()));
        dir.copy_from_build("tools_test_ostrel_qz121032.ini", "ostrel_qz121032.ini");
        std::filesystem::create_directory(dir.path() / "examples");
        dir.copy_from_build("tools_test_j1939_engine.log", "examples/j1939_engine.log");
        // The engine runs until the test ends (at most ten minutes); its output is not
        // needed. The log's path is the one beside the test.
        CommandLine engine = parse(kEngine);
        engine.args[1] = (dir.path() / engine.args[1]).string();
        engine.args.insert(engine.args.end(), {"--seconds", "600"});
        auto started =
            platform::ChildProcess::spawn(tools_test::program(engine.program), engine.args);
        ASSERT_TRUE(started.has_value());
        this->engine.emplace(std::move(started.value()));
    }
    void TearDown() override {
        if (engine) {
            engine->kill_hard();
            engine->wait();
        }
    }

    void run(const Scenario& scenario) {
        SCOPED_TRACE(scenario.origin);
        std::vector<std::pair<std::string, Running>> background;
        for (const std::string& line : scenario.lines) {
            const CommandLine c = parse(line);
            const std::string label = "example" + std::to_string(++count);
            if (c.background) {
                background.emplace_back(
                    line, Running::start(dir.path(), label, tools_test::program(c.program), c.args,
                                         kLimit));
                // Started once it said so: its first status line.
                EXPECT_TRUE(background.back().second.wait_for_err("\n"))
                    << line << "\n"
                    << background.back().second.err();
                continue;
            }
            Running running =
                Running::start(dir.path(), label, tools_test::program(c.program), c.args, kLimit);
            const int status = running.wait();
            EXPECT_TRUE(status == 0 || (c.may_fail && status == 1))
                << line << "\nstatus " << status << "\n"
                << running.out() << running.err();
            if (c.output_file) {
                std::ofstream(dir.path() / *c.output_file, std::ios::binary) << running.out();
            }
        }
        for (auto& [line, running] : background) {
            EXPECT_EQ(running.wait(), 0) << line << "\n" << running.out() << running.err();
        }
    }

    static constexpr std::chrono::seconds kLimit{90};
    tarnsim_test::ConfigFile sim{tarnsim_test::kTwoChannels};
    tools_test::WorkDir dir;
    std::optional<platform::ChildProcess> engine;
    int count = 0;
};

TEST_F(Examples, OfTheHelpTextsRunOnTheDemoBus) {
    std::vector<Scenario> scenarios;
    for (std::string_view name : tools::rp1210::command_names()) {
        for (Scenario& s :
             help_scenarios("rp1210 " + std::string(name), tools::rp1210::help(name))) {
            scenarios.push_back(std::move(s));
        }
    }
    for (std::string_view name : tools::node::command_names()) {
        for (Scenario& s :
             help_scenarios("tarnsim-node " + std::string(name), tools::node::help(name))) {
            scenarios.push_back(std::move(s));
        }
    }
    // dump, send and selftest of rp1210, every command of tarnsim-node.
    EXPECT_GE(scenarios.size(), 13u);
    for (const Scenario& s : scenarios) {
        run(s);
    }
}

TEST_F(Examples, OfTheDocumentationRunOnTheDemoBus) {
    std::ifstream tools_md(tools_test::binary_dir() / "tools_test_tools.md", std::ios::binary);
    std::stringstream text;
    text << tools_md.rdbuf();
    EXPECT_NE(text.str().find(std::string("```sh\n") + kEngine + "\n```"), std::string::npos)
        << "docs/tools.md states the bus the examples run on";
    for (const char* file : {"tools.md", "j1939.md"}) {
        const std::vector<Scenario> scenarios = doc_scenarios(file);
        EXPECT_GE(scenarios.size(), 3u) << file;
        for (const Scenario& s : scenarios) {
            run(s);
        }
    }
}

}  // namespace
