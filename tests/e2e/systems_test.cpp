// What the tools do where systems differ, checked on each: names in any script, the output
// folder in every form (Windows' backslashes and drives), an output file another program holds
// open, a closed pipe, Ctrl-C.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <random>
#include <string>

#include "support/archive_builder.h"
#include "support/system.h"
#include "support/tool_test.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

namespace fs = std::filesystem;

// UTF-8 text of a path, as the tools take it on their command lines.
std::string utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

class Systems : public ToolTest {};

TEST_F(Systems, NamesOutsideAsciiAndWithBlanks) {
  const fs::path file = dir / fs::path(u8"archivé ü 日本.bin");
  const fs::path folder = dir / fs::path(u8"sortie ø Ωμέγα");
  writeArchive(file, {{0, {plain("g0")}}, {1, {plain("c0")}}});
  fs::create_directory(folder);
  const Outcome run = extract({"-C", utf8(folder), utf8(file)});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out + run.err, sweepLines({{path(0, 0), ""}, {path(1, 0), ""}}));
  EXPECT_EQ(readTree(folder), (Tree{{path(0, 0), "g0"}, {path(1, 0), "c0"}}));
  // Messages name the file as it was given.
  const std::string missing = utf8(dir / fs::path(u8"manquée ä.bin"));
  const Outcome refused = extract({"--list", missing});
  const std::string err =
      "archive-extract: cannot open " + missing + ": No such file or directory\n";
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(withReasonsOf(refused.err, err), err);
  // archive-pack reads a source folder of such a name and updates such an archive.
  writeTree(dir / fs::path(u8"source ñ"), {{path(0, 0), "new g0"}});
  const Outcome update = pack({"--update", utf8(dir / fs::path(u8"source ñ")), utf8(file)});
  EXPECT_EQ(update.status, 0) << update.err;
  const Outcome read = extract({"-O", utf8(file), path(0, 0)});
  EXPECT_EQ(read.out, "new g0");
}

// -C in the forms shells and their tab completion give: a separator at the end, "." and its
// folders, absolute. On Windows backslashes separate names (elsewhere "a\\b" is one name, and a
// member with one names no entry) and a drive alone is its current folder. Each run writes into
// the folder it names.
TEST_F(Systems, PathsInEveryForm) {
  writeArchive(archive(), {{0, {plain("g0"), plain("g1")}}});
  fs::create_directories(out() / "sub");
  fs::create_directories(out() / "a\\b");
  std::vector<std::pair<std::string, std::string>> forms = {
      {"sub/", "sub"}, {"./sub//", "sub"}, {"./", "."},
      {".", "."},      {"a\\b", "a\\b"},   {utf8(out() / "sub") + "/", "sub"}};
  if (kWindows) {
    forms.insert(forms.end(), {{"sub\\", "sub"},
                               {".\\", "."},
                               {".\\sub\\", "sub"},
                               {"a\\b\\", "a\\b"},
                               {utf8(out().root_name()), "."},
                               {utf8(out() / "sub") + "\\", "sub"}});
  }
  for (const auto& [form, folder] : forms) {
    SCOPED_TRACE(form);
    const Outcome run = extract({"-C", form, archive(), path(0, 1)});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(out() / folder / path(0, 1)), "g1");
    fs::remove_all(out() / folder / "models - g");
  }
  const Outcome member = extract({"-O", archive(), "models - g\\0001.raw"});
  EXPECT_EQ(member.out + member.err,
            kWindows ? "g1" : "archive-extract: models - g\\0001.raw: not found in archive\n");
  EXPECT_EQ(member.status, kWindows ? 0 : 2);
}

// --overwrite of a file another program has open: Windows keeps such a file's name, so that file
// is not written, with a line naming it, and the run goes on with the rest; elsewhere the open
// file keeps the old data and the name gets the new.
TEST_F(Systems, OverwritesAroundAFileAnotherProgramHoldsOpen) {
  writeArchive(archive(), {{0, {plain("new g0"), plain("new g1")}}});
  writeTree(out(), {{path(0, 0), "old"}});
  Outcome run;
  {
    std::ifstream held(out() / path(0, 0), std::ios::binary);
    ASSERT_TRUE(held);
    run = extract({"--overwrite", archive()});
  }
  // Each entry's line comes before its file is named; a file that cannot be named is reported.
  EXPECT_EQ(run.out, path(0, 0) + "\n" + path(0, 1) + "\n");
  if (kWindows) {
    EXPECT_EQ(run.status, 2);
    const std::string line = "archive-extract: " + path(0, 0) +
                             ": cannot rename the finished file onto " + path(0, 0) + ": ";
    EXPECT_EQ(run.err.substr(0, line.size()), line) << run.err;
    EXPECT_NE(run.err.find("; not written\narchive-extract: 1 entry written, 1 not written\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(readTree(out()), (Tree{{path(0, 0), "old"}, {path(0, 1), "new g1"}}));
  } else {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readTree(out()), (Tree{{path(0, 0), "new g0"}, {path(0, 1), "new g1"}}));
  }
}

// A pipe closed by its reader ends the tool quietly: SIGPIPE on Linux; on Windows, which has no
// signal for it, status 2 and no message, whatever stdout held.
TEST_F(Systems, AClosedPipe) {
  writeArchive(archive(), {{0, {plain("g0")}}});
  for (const std::vector<std::string>& mode :
       {std::vector<std::string>{"--list"}, {"--test"}, {"--list", "--json"}, {"-O"}}) {
    SCOPED_TRACE(mode[0] + (mode.size() > 1 ? " " + mode[1] : ""));
    std::vector<std::string> args = mode;
    args.push_back(archive());
    const Outcome run = extract(args, {.closedStdout = true});
    EXPECT_EQ(run.status, kWindows ? 2 : 128 + 13);  // SIGPIPE
    EXPECT_EQ(run.err, "");
  }
}

// Archives dropped on archive-extract.exe in Explorer: the tool has a console of its own, which
// closes with it. Each archive is extracted beside itself (DATA.BIN into DATA; an archive without
// an extension into NAME.extracted), the window shows a summary for each and waits for a key.
TEST_F(Systems, ArchivesDroppedOnTheTool) {
#ifndef _WIN32
  GTEST_SKIP() << "only Windows starts a tool with a console of its own";
#else
  writeArchive(dir / "DATA.BIN", {{0, {plain("g0"), plain("g1")}}});
  writeArchive(dir / "DATA2", {{1, {plain("c0")}}});
  // The test joins a console to read it and press a key there.
  const auto attach = [](DWORD id) {
    FreeConsole();
    if (!AttachConsole(id)) return false;
    const HANDLE out =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    const bool works = GetConsoleMode(out, &mode) != 0;
    CloseHandle(out);
    return works;
  };
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const auto start = [&](const wchar_t* program, std::wstring line) {
    return CreateProcessW(program, line.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                          nullptr, dir.path().wstring().c_str(), &startup, &process) != 0;
  };
  const auto end = [&] {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  };
  // Whether a new console works here at all, asked of a shell that waits: Wine without an X
  // display makes one whose handles are no console's.
  ASSERT_TRUE(start(nullptr, L"cmd.exe /k")) << GetLastError();
  bool works = false;
  for (int i = 0; i < 100 && !(works = attach(process.dwProcessId)); ++i) Sleep(50);
  const DWORD error = GetLastError();
  FreeConsole();
  TerminateProcess(process.hProcess, 99);
  end();
  if (!works) {
    GTEST_SKIP() << "a new console does not work here (Wine without an X display: make "
                    "test-windows gives it one with xvfb-run): error "
                 << error;
  }
  ASSERT_TRUE(start(fs::path(ARCHIVE_EXTRACT_PATH).wstring().c_str(),
                    L"archive-extract.exe \"" + (dir / "DATA.BIN").wstring() + L"\" \"" +
                        (dir / "DATA2").wstring() + L"\""))
      << GetLastError();
  const auto wait = [&](DWORD ms) { return WaitForSingleObject(process.hProcess, ms); };
  const fs::path last = dir / "DATA2.extracted" / path(1, 0);
  for (int i = 0; i < 600 && !fs::exists(last) && wait(0) == WAIT_TIMEOUT; ++i) Sleep(100);
  EXPECT_EQ(wait(1000), WAIT_TIMEOUT) << "the tool ended without waiting for a key";
  EXPECT_EQ(readTree(dir / "DATA"), (Tree{{path(0, 0), "g0"}, {path(0, 1), "g1"}}));
  EXPECT_EQ(readTree(dir / "DATA2.extracted"), (Tree{{path(1, 0), "c0"}}));
  // The window's text, then a key pressed in it.
  std::wstring screen(80 * 25, L' ');
  bool sent = false;
  if (attach(process.dwProcessId)) {
    const HANDLE out =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD n = 0;
    ReadConsoleOutputCharacterW(out, screen.data(), static_cast<DWORD>(screen.size()), {0, 0}, &n);
    screen.resize(n);
    CloseHandle(out);
    const HANDLE in =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    INPUT_RECORD keys[2]{};
    for (int i = 0; i < 2; ++i) {
      keys[i].EventType = KEY_EVENT;
      keys[i].Event.KeyEvent = {i == 0, 1, VK_SPACE, 0, {L' '}, 0};
    }
    sent = WriteConsoleInputW(in, keys, 2, &n) && n == 2;
    CloseHandle(in);
    FreeConsole();
  }
  if (!sent) {
    TerminateProcess(process.hProcess, 99);
    end();
    GTEST_SKIP() << "cannot attach to the tool's console to press a key (error " << GetLastError()
                 << ")";
  }
  EXPECT_EQ(wait(30000), WAIT_OBJECT_0) << "a key did not close the window";
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  EXPECT_EQ(status, 0u);
  end();
  // Lines are padded with blanks to the window's width: compared without them.
  std::string text;
  for (size_t at = 0; at < screen.size(); at += 80) {
    std::wstring row = screen.substr(at, 80);
    row.erase(row.find_last_not_of(L' ') + 1);
    if (!row.empty()) text += std::string(row.begin(), row.end()) + "\n";
  }
  const std::string data = (dir / "DATA.BIN").string(), data2 = (dir / "DATA2").string();
  EXPECT_EQ(text, data + "\n2 entries written to " + (dir / "DATA").string() + "\n" + data2 +
                      "\n1 entry written to " + data2 +
                      ".extracted\nPress any key to close this window\n");
#endif
}

// Ctrl-C (SIGINT; a Ctrl-Break event on Windows) part-way: status 130, and stdout names exactly
// the files on disk, all whole.
TEST_F(Systems, CtrlCStopsBetweenEntries) {
  if (kWindows) GTEST_SKIP() << "Wine delivers no console control event (GenerateConsoleCtrlEvent)";
  std::mt19937_64 rng(12);
  Table g{0, {}};
  for (int e = 0; e < 400; ++e) g.entries.push_back(plain(content(rng, 100000)));
  writeArchive(archive(), {g});
  const Outcome run =
      extract({"--jobs", "1", archive()}, {.signalAfterLines = 5, .signal = SIGINT});
  EXPECT_EQ(run.status, 130) << run.err;
  const Tree tree = readTree(out());
  EXPECT_GE(tree.size(), 5u);
  EXPECT_LT(tree.size(), 400u);
  EXPECT_EQ(run.out, sweepLines(tree));
  for (const auto& [name, data] : tree) EXPECT_EQ(data.size(), 100000u) << name;
}

}  // namespace
