// The diagnostics channel: report texts, where they go and in which order,
// truncation, and the fatal path (watched from outside, in test_child).
#include "Debug.h"
#include "test_child.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Points the channel at a callback and two files (output stream and extra
// stream) for one test, and puts the defaults back afterwards.
class Channel {
public:
    explicit Channel(const testChild::TempDirectory& directory)
        : mStreamPath(directory.file(L"stream.txt")), mExtraPath(directory.file(L"extra.txt"))
    {
        mStream = _wfopen(mStreamPath.c_str(), L"wb");
        mExtra = _wfopen(mExtraPath.c_str(), L"wb");
        DebugConfig config;
        config.outputCallback = record;
        config.callbackContext = this;
        config.outputStream = mStream;
        Debug::setConfig(config);
    }
    ~Channel()
    {
        Debug::setConfig(DebugConfig{});
        if (mStream != nullptr)
            std::fclose(mStream);
        if (mExtra != nullptr)
            std::fclose(mExtra);
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    bool ready() const { return mStream != nullptr && mExtra != nullptr; }
    std::FILE* extra() const { return mExtra; }
    // Read through a second handle: what a report wrote must already be flushed.
    std::string stream() const { return testChild::readFile(mStreamPath).value_or("(unreadable)"); }
    std::string extraText() const { return testChild::readFile(mExtraPath).value_or("(unreadable)"); }

    struct Call {
        DebugMessageType type;
        std::string text;
        std::string streamSoFar;
        std::string extraSoFar;
    };
    std::vector<Call> calls;

private:
    static void record(void* context, DebugMessageType type, const char* text)
    {
        auto* self = static_cast<Channel*>(context);
        self->calls.push_back({type, text, self->stream(), self->extraText()});
    }

    std::wstring mStreamPath;
    std::wstring mExtraPath;
    std::FILE* mStream = nullptr;
    std::FILE* mExtra = nullptr;
};

struct TextCase {
    DebugMessageType type;
    const char* sourceFile;
    const char* condition;
    const char* message; // nullptr: no format at all
    std::string expected;
};

TEST(DebugReport, FormatsEachKindOfReport)
{
    const TextCase cases[] = {
        {Debug::Info, "a/b.cpp", nullptr, "hello", "hello\n"},
        {Debug::Warning, "a/b.cpp", nullptr, "ends in newline\n", "ends in newline\n"},
        {Debug::Trace, "a/b.cpp", nullptr, nullptr, "\n"},
        {Debug::Verbose, "a/b.cpp", nullptr, "", "\n"},
        {Debug::Error, "dir/sub/name.cpp", nullptr, "bad", "(name.cpp, line 7): bad\n"},
        {Debug::Error, "name.cpp", nullptr, "bad\n", "(name.cpp, line 7): bad\n"},
        {Debug::Error, "C:\\src\\name.cpp", nullptr, "bad", "(C:\\src\\name.cpp, line 7): bad\n"},
        {Debug::Error, "C:\\src/x\\name.cpp", nullptr, "bad", "(x\\name.cpp, line 7): bad\n"},
        // A condition makes it an assertion report, whatever the type.
        {Debug::Info, "dir/name.cpp", "a == b", "why", "ASSERTION FAILED (name.cpp, line 7): a == b. why\n"},
        {Debug::Error, "Process", "nullptr != mProcess", nullptr,
         "ASSERTION FAILED (Process, line 7): nullptr != mProcess. \n"},
        // Unknown kinds are delivered with an empty text.
        {3, "a/b.cpp", nullptr, "lost", ""},
        {0, "a/b.cpp", nullptr, "lost", ""},
        {128, "a/b.cpp", nullptr, "lost", ""},
    };
    for (const TextCase& c : cases) {
        testChild::TempDirectory directory;
        Channel channel(directory);
        ASSERT_TRUE(channel.ready());
        const bool breakIn = c.message != nullptr
            ? Debug::report(c.type, c.sourceFile, 7, channel.extra(), c.condition, "%s", c.message)
            : Debug::report(c.type, c.sourceFile, 7, channel.extra(), c.condition, nullptr);
        EXPECT_FALSE(breakIn);
        ASSERT_EQ(1u, channel.calls.size()) << c.expected;
        EXPECT_EQ(c.type, channel.calls[0].type);
        EXPECT_EQ(c.expected, channel.calls[0].text);
        EXPECT_EQ(c.expected, channel.stream());
        EXPECT_EQ(c.expected, channel.extraText());
    }
}

TEST(DebugReport, DeliversToTheCallbackFirstThenTheStreams)
{
    testChild::TempDirectory directory;
    Channel channel(directory);
    ASSERT_TRUE(channel.ready());
    EXPECT_FALSE(Debug::report(Debug::Error, "x.cpp", 3, channel.extra(), nullptr, "%d items of %s", 12, "work"));
    ASSERT_EQ(1u, channel.calls.size());
    EXPECT_EQ("", channel.calls[0].streamSoFar);
    EXPECT_EQ("", channel.calls[0].extraSoFar);
    EXPECT_EQ("(x.cpp, line 3): 12 items of work\n", channel.stream());
    EXPECT_EQ("(x.cpp, line 3): 12 items of work\n", channel.extraText());

    // Without an extra stream, only the channel's own outputs get the report.
    EXPECT_FALSE(Debug::report(Debug::Info, "x.cpp", 3, nullptr, nullptr, "second"));
    EXPECT_EQ("(x.cpp, line 3): 12 items of work\nsecond\n", channel.stream());
    EXPECT_EQ("(x.cpp, line 3): 12 items of work\n", channel.extraText());
}

TEST(DebugReport, CutsLongTextsAndChoosesTheTerminatorFromTheCutText)
{
    testChild::TempDirectory directory;
    Channel channel(directory);
    ASSERT_TRUE(channel.ready());

    const std::string longMessage(9000, 'a');
    Debug::report(Debug::Info, "x.cpp", 1, nullptr, nullptr, "%s", longMessage.c_str());
    EXPECT_EQ(std::string(8191, 'a') + "\n", channel.calls.back().text);

    // The newline at the cut stays the last character: no second one.
    const std::string newlineAtCut = std::string(8190, 'b') + "\nzz";
    Debug::report(Debug::Info, "x.cpp", 1, nullptr, nullptr, "%s", newlineAtCut.c_str());
    EXPECT_EQ(std::string(8190, 'b') + "\n", channel.calls.back().text);

    // The whole report is bounded as well: 10239 characters.
    const std::string condition(5000, 'c');
    const std::string message(8191, 'm');
    Debug::report(Debug::Error, "x.cpp", 1, nullptr, condition.c_str(), "%s", message.c_str());
    const std::string full = "ASSERTION FAILED (x.cpp, line 1): " + condition + ". " + message + "\n";
    EXPECT_EQ(full.substr(0, 10239), channel.calls.back().text);
}

struct FatalCase {
    std::vector<std::string> verb; // "debug-report <kind>" or "debug-assert"
    DWORD exitCode;
    std::string channelText; // callback (prefixed) and output stream, in order
    std::string extraText;
};

TEST(DebugReport, FatalReportsAbortAfterTheNotice)
{
    const std::string report = "(raise.cpp, line 42): boom 7\n";
    const std::string notice = "Debug: Aborting due to error\n";
    const FatalCase cases[] = {
        {{"debug-report", "fatal"}, 3, "callback 64: " + report + report + "callback 64: " + notice + notice, report},
        {{"debug-report", "error-abort"}, 3, "callback 32: " + report + report + "callback 32: " + notice + notice,
         report},
        {{"debug-report", "error"}, 0, "callback 32: " + report + report, report},
    };
    for (const FatalCase& c : cases) {
        testChild::TempDirectory directory;
        std::vector<std::string> arguments = c.verb;
        arguments.push_back(directory.fileUtf8(L"channel.txt"));
        arguments.push_back(directory.fileUtf8(L"extra.txt"));
        const testChild::Result result = testChild::run(arguments);
        ASSERT_TRUE(result.started && result.finished) << c.verb[1];
        EXPECT_EQ(c.exitCode, result.exitCode) << c.verb[1] << " (abort() ends with 3)";
        EXPECT_EQ(c.channelText, testChild::readFile(directory.file(L"channel.txt")).value_or("")) << c.verb[1];
        EXPECT_EQ(c.extraText, testChild::readFile(directory.file(L"extra.txt")).value_or("")) << c.verb[1];
    }
}

TEST(DebugReport, FailedAssertionAborts)
{
    testChild::TempDirectory directory;
    const testChild::Result result = testChild::run({"debug-assert", directory.fileUtf8(L"channel.txt")});
    ASSERT_TRUE(result.started && result.finished);
    EXPECT_EQ(3u, result.exitCode);
    const std::string text = testChild::readFile(directory.file(L"channel.txt")).value_or("");
    // The child names the assertion's line first.
    const std::size_t endOfLine = text.find('\n');
    ASSERT_NE(std::string::npos, endOfLine);
    const std::string line = text.substr(5, endOfLine - 5);
    const std::string report = "ASSERTION FAILED (debug_verbs.cpp, line " + line + "): nullptr != held. \n";
    const std::string notice = "Debug: Aborting due to error\n";
    EXPECT_EQ("line " + line + "\ncallback 64: " + report + report + "callback 64: " + notice + notice, text);
}

TEST(SystemErrorText, NamesTheErrorNumberInHexadecimal)
{
    errno = ENOENT;
    const std::string expected = std::string("(Error code 0x2) ") + std::strerror(ENOENT);
    EXPECT_EQ(expected, systemErrorText());
    errno = 42;
    EXPECT_EQ(0u, systemErrorText().rfind("(Error code 0x2a) ", 0));
}

} // namespace
