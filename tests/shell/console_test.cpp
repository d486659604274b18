#include "shell/console.h"
#include "support/sys_error.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

// Everything written to standard output and standard error between start
// and finish, taken at the file descriptors.
class output_capture {
public:
    void start()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        begin(out_, STDOUT_FILENO);
        begin(err_, STDERR_FILENO);
    }
    void finish()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        stdout_text = end(out_, STDOUT_FILENO);
        stderr_text = end(err_, STDERR_FILENO);
    }

    std::string stdout_text;
    std::string stderr_text;

private:
    struct redirect {
        std::FILE* file = nullptr;
        int saved = -1;
    };
    static void begin(redirect& r, int fd)
    {
        r.file = std::tmpfile();
        r.saved = dup(fd);
        dup2(fileno(r.file), fd);
    }
    static std::string end(redirect& r, int fd)
    {
        dup2(r.saved, fd);
        close(r.saved);
        std::string text;
        std::rewind(r.file);
        char buffer[512];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), r.file)) > 0)
            text.append(buffer, n);
        std::fclose(r.file);
        return text;
    }
    redirect out_;
    redirect err_;
};

using report_function = std::uint32_t (*)(std::uint32_t, const char*);

struct report_case {
    const char* name;
    report_function report;
    std::uint32_t error;
    const char* text;
    const char* expected_stdout;
    const char* expected_stderr;
};

} // namespace

TEST(ConsoleReport, FormStreamAndResult)
{
#if defined(_WIN32)
    // The system's texts differ between Windows versions and wine: the form
    // is checked around the text the message table gives.
    char b5[512], b10054[512], b8[512];
    const std::string t5 = std::string("   ^ERROR: 5, ") + system_error_text(5, b5, sizeof(b5)) + "\n";
    const std::string t10054 = std::string("   ^ERROR: 10054, ") + system_error_text(10054, b10054, sizeof(b10054)) + "\n";
    const std::string t8 = std::string("   ^ERROR: 8, ") + system_error_text(8, b8, sizeof(b8)) + "\n";
    const std::string bind_text = "\nbind(so, (sockaddr *) &addr_local, sizeof(addr_local))";
    const std::string with_call = bind_text + "\n" + t10054;
    const std::string on_stderr = "!! _aligned_malloc() failed to allocate RAM!\n" + t8;
    const report_case cases[] = {
        {"null text: only the error line", report_error, 5, nullptr, t5.c_str(), ""},
        {"call text, then the error line", report_error, 10054, bind_text.c_str(), with_call.c_str(), ""},
        {"no system text: (null), line left open", report_error, 0x20000001u, "recv(so, buffer, size, 0)",
         "recv(so, buffer, size, 0)\n   ^ERROR: 536870913, (null)", ""},
        {"largest number, no text", report_error, 0xFFFFFFFFu, nullptr, "   ^ERROR: 4294967295, (null)", ""},
        {"standard error only", report_error_stderr, 8, "!! _aligned_malloc() failed to allocate RAM!", "",
         on_stderr.c_str()},
        {"standard error, no system text", report_error_stderr, 0x20000002u, nullptr, "", "   ^ERROR: 536870914, (null)"},
    };
#else
    const report_case cases[] = {
        {"null text: only the error line", report_error, 13, nullptr, "   ^ERROR: 13, Permission denied\n", ""},
        {"call text, then the error line", report_error, 98, "\nbind(so, (sockaddr *) &addr_local, sizeof(addr_local))",
         "\nbind(so, (sockaddr *) &addr_local, sizeof(addr_local))\n   ^ERROR: 98, Address already in use\n", ""},
        {"no system text: (null), line left open", report_error, 10054, "recv(so, buffer, size, 0)",
         "recv(so, buffer, size, 0)\n   ^ERROR: 10054, (null)", ""},
        {"largest number, no text", report_error, 0xFFFFFFFFu, nullptr, "   ^ERROR: 4294967295, (null)", ""},
        {"standard error only", report_error_stderr, 12, "!! _aligned_malloc() failed to allocate RAM!", "",
         "!! _aligned_malloc() failed to allocate RAM!\n   ^ERROR: 12, Cannot allocate memory\n"},
        {"standard error, no system text", report_error_stderr, 10061, nullptr, "", "   ^ERROR: 10061, (null)"},
    };
#endif
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        output_capture capture;
        capture.start();
        const std::uint32_t result = c.report(c.error, c.text);
        capture.finish();
        EXPECT_EQ(result, c.error);
        EXPECT_EQ(capture.stdout_text, c.expected_stdout);
        EXPECT_EQ(capture.stderr_text, c.expected_stderr);
    }
}
