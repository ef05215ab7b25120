#include "main/shortcut.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "support/archive_bytes.hpp"

namespace {

namespace fs = std::filesystem;
using kov::Answer;

// Runs the test in a fresh current directory and removes it afterwards.
class InScratchDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    fs::current_path(dir_.path());
  }
  void TearDown() override { fs::current_path(old_); }

 private:
  fs::path old_;
  kov_test::TempDir dir_;
};

using SinglePathApplies = InScratchDirectory;

TEST_F(SinglePathApplies, OptionsNeverWordsOnlyWhenTheyExist) {
  fs::create_directory("list");
  std::ofstream("info") << "x";
  fs::create_symlink("list", "test");  // followed: a link to a directory counts
  fs::create_symlink("nowhere", "sign");
  struct Case {
    const char* argument;
    bool applies;
  };
  const Case cases[] = {
      {"-", false},   {"--help", false},     {"-x.kov", false},  {"photos", true},
      {"", true},     {"missing.kov", true}, {"list", true},     {"info", true},
      {"test", true}, {"sign", false},       {"extract", false}, {"verify-signature", false},
      {"List", true}, {"./create", true},    {"list/", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument);
    EXPECT_EQ(kov::single_path_applies(c.argument), c.applies);
  }
}

TEST(LexicalParent, DropsTheFinalComponent) {
  struct Case {
    const char* path;
    std::optional<std::string> parent;
  };
  const Case cases[] = {
      {"/a/b", "/a"}, {"/a/b/", "/a"},     {"/a", "/"},          {"/a/..", "/a"},
      {"//x", "/"},   {"/", std::nullopt}, {"//", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::optional<fs::path> parent = kov::lexical_parent(c.path);
    EXPECT_EQ(parent ? std::optional(parent->native()) : std::nullopt, c.parent);
  }
}

TEST(HasKovExtension, LastDotNotFirstAnyCase) {
  for (const char* yes :
       {"/d/a.kov", "/d/a.KOV", "/d/a.Kov", "/d/a.tar.kov", "/d/..kov", "/d.x/b.kov"}) {
    EXPECT_TRUE(kov::has_kov_extension(yes)) << yes;
  }
  for (const char* no :
       {"/d/.kov", "/d/a.kov.bak", "/d/akov", "/d/a.kovx", "/d/a.ko", "/d.kov/a", "/d/a.kov/"}) {
    EXPECT_FALSE(kov::has_kov_extension(no)) << no;
  }
}

TEST(ExtractionQuestion, EveryLanguage) {
  const char* expected[] = {
      "Extract /d/a.kov \u2192 /d [Y/n] ", "Extraire /d/a.kov \u2192 /d [O/n] ",
      "Extraer /d/a.kov \u2192 /d [Y/n] ", "Entpacken /d/a.kov \u2192 /d [Y/n] ",
      "Extrair /d/a.kov \u2192 /d [Y/n] ",
  };
  for (const kov::Language language : kov::LANGUAGES) {
    EXPECT_EQ(kov::extraction_question(language, "/d/a.kov", "/d", kov::Shown::Raw),
              expected[static_cast<std::size_t>(language)]);
  }
  EXPECT_EQ(kov::extraction_question(kov::Language::English, "/d/\xff.kov", "/d", kov::Shown::Raw),
            "Extract /d/\uFFFD.kov \u2192 /d [Y/n] ");
  EXPECT_EQ(kov::extraction_question(kov::Language::English, "/\x1b]0;x\x07/a\u202e.kov",
                                     "/\x1b]0;x\x07", kov::Shown::Escaped),
            "Extract /\\x1b]0;x\\x07/a\\u{202e}.kov \u2192 /\\x1b]0;x\\x07 [Y/n] ");
}

// A descriptor from which exactly `text` can be read: a regular file, or a
// pipe whose writer has finished.
int descriptor_of(const std::string& text, bool pipe) {
  int fds[2];
  if (pipe) {
    if (::pipe(fds) != 0 || text.size() > 65536) std::abort();
  } else {
    const kov_test::TempDir dir;
    fds[0] = ::open((dir / "answers").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    fds[1] = ::dup(fds[0]);
  }
  if (::write(fds[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
  ::close(fds[1]);
  if (!pipe) ::lseek(fds[0], 0, SEEK_SET);
  return fds[0];
}

TEST(AnswerReader, ReadsAheadWhereItCannotGiveBack) {
  // From a pipe it reads more than one byte at a time: the whole input at once.
  const int from_pipe = descriptor_of("maybe\ny\n", true);
  kov::AnswerReader piped(from_pipe);
  EXPECT_EQ(piped.next_line()->text, "maybe\n");
  char byte = 0;
  EXPECT_EQ(::read(from_pipe, &byte, 1), 0);
  EXPECT_EQ(piped.next_line()->text, "y\n");
  ::close(from_pipe);
  // From a file it leaves the offset just after the line.
  const int from_file = descriptor_of("maybe\ny\nrest", false);
  kov::AnswerReader filed(from_file);
  EXPECT_EQ(filed.next_line()->text, "maybe\n");
  EXPECT_EQ(::lseek(from_file, 0, SEEK_CUR), 6);
  EXPECT_EQ(filed.next_line()->text, "y\n");
  EXPECT_EQ(::lseek(from_file, 0, SEEK_CUR), 8);
  ::close(from_file);
}

TEST(AnswerReader, LongLinesAreNoAnswerAndStillChecked) {
  const std::size_t limit = kov::ANSWER_LINE_LIMIT;
  const std::string longest(limit - 1, ' ');
  std::string accents;  // two-byte characters across every read boundary
  while (accents.size() < 3 * limit) accents += "\u00E9";
  const std::string input = longest + "\n" + std::string(limit, ' ') + "\n" + accents + "\n" + "y";
  for (const bool pipe : {true, false}) {
    SCOPED_TRACE(pipe ? "pipe" : "file");
    const int fd = descriptor_of(input, pipe);
    kov::AnswerReader reader(fd);
    struct Expected {
      std::string text;
      bool too_long;
    };
    for (const Expected& e : {Expected{longest + "\n", false}, Expected{"", true},
                              Expected{"", true}, Expected{"y", false}, Expected{"", false}}) {
      auto line = reader.next_line();
      ASSERT_TRUE(line.has_value());
      EXPECT_EQ(line->too_long, e.too_long);
      EXPECT_EQ(line->text.size(), e.text.size());  // the lines are too long to print
      EXPECT_TRUE(line->text == e.text);
    }
    ::close(fd);
  }
  // Bytes that are not UTF-8 fail the line wherever they are, even cut off at its end.
  for (const std::string& bad :
       {std::string(2 * limit, 'a') + "\xff" + std::string(limit, 'a') + "\n",
        std::string(2 * limit, 'a') + "\xc3\ny\n", std::string("\xc3\xa9\xe2\n")}) {
    const int fd = descriptor_of(bad, false);
    kov::AnswerReader reader(fd);
    auto line = reader.next_line();
    ASSERT_FALSE(line.has_value());
    EXPECT_EQ(line.error().display(), "I/O error: stream did not contain valid UTF-8");
    ::close(fd);
  }
}

TEST(ClassifyAnswer, ByLanguage) {
  constexpr kov::Language EN = kov::Language::English, FR = kov::Language::French,
                          DE = kov::Language::German;
  struct Case {
    const char* line;
    kov::Language language;
    Answer answer;
  };
  const Case cases[] = {
      {"\n", EN, Answer::Accept},         {"", FR, Answer::Accept},
      {" \t\r\n", DE, Answer::Accept},    {"y\n", EN, Answer::Accept},
      {"YES\n", DE, Answer::Accept},      {"  Yes \n", EN, Answer::Accept},
      {"o\n", FR, Answer::Accept},        {"Oui\n", FR, Answer::Accept},
      {"n\n", EN, Answer::Decline},       {"No\n", FR, Answer::Decline},
      {"NON\n", EN, Answer::Decline},     {"non", DE, Answer::Decline},
      {"oui\n", EN, Answer::AskAgain},    {"o\n", DE, Answer::AskAgain},
      {"yes\n", FR, Answer::AskAgain},    {"y\n", FR, Answer::AskAgain},
      {"maybe\n", EN, Answer::AskAgain},  {"y y\n", EN, Answer::AskAgain},
      {"\u00E9\n", EN, Answer::AskAgain}, {"\u00A0y\u3000\n", EN, Answer::Accept},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(kov::classify_answer(c.line, c.language), c.answer);
  }
}

TEST(TrimWhiteSpace, UnicodeWhiteSpaceOnly) {
  EXPECT_EQ(kov::trim_white_space("\u3000\u2028 a b\u00A0\u0085\u202F\r\n"), "a b");
  EXPECT_EQ(kov::trim_white_space("\x0b\x0c"
                                  "x"
                                  "\x1c"),
            "x\x1c");  // U+001C is no White_Space
  EXPECT_EQ(kov::trim_white_space("\u200Bx\u200B"),
            "\u200Bx\u200B");  // nor is the zero-width space
  EXPECT_EQ(kov::trim_white_space("\u2000\u200A"), "");
  EXPECT_EQ(kov::trim_white_space("\u00E9 "), "\u00E9");
}

}  // namespace
