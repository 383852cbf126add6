#pragma once
// Programs run from the tests and the files they leave: shared by the
// stack's tests and its end-to-end tests, free of the stack itself.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace tu {

// In a forked child: becomes the program (found on PATH), or ends with 127.
[[noreturn]] inline void execOrExit(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

// Runs a program (no shell) and waits for it; its standard output goes to
// outputFile (or /dev/null), its standard error to /dev/null. Returns its
// exit status, or -1.
inline int run(const std::vector<std::string> &argv, const std::string &outputFile = "") {
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        int out =
            open(outputFile.empty() ? "/dev/null" : outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null = open("/dev/null", O_WRONLY);
        if (out >= 0)
            dup2(out, STDOUT_FILENO);
        if (null >= 0)
            dup2(null, STDERR_FILENO);
        execOrExit(argv);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The whole text of a file, and its lines.
inline std::string fileText(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
inline std::vector<std::string> fileLines(const std::string &path) {
    std::vector<std::string> lines;
    std::istringstream in(fileText(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Compares what was sent with its record in test/golden/NAME of the
// sources, so that a rework of the stack shows any octet it changed. With
// BACNET_RECORD set in the environment the record is written instead.
inline void expectAsRecorded(const std::string &text, const std::string &name) {
    const char *root = std::getenv("METER_SOURCE_DIR");
    ASSERT_NE(root, nullptr) << "METER_SOURCE_DIR is not set";
    const std::string path = std::string(root) + "/bacnet/stack/test/golden/" + name;
    if (std::getenv("BACNET_RECORD") != nullptr) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        EXPECT_TRUE(out.good()) << "cannot write " << path;
        return;
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in.good()) << "cannot open " << path;
    const std::string recorded{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(text, recorded) << "differs from " << path;
}

}  // namespace tu
