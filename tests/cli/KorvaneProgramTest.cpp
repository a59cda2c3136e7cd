// The korvane program as a user meets it: run as a separate process on generated videos, its
// exit statuses and messages, its output files read back, its MD5 lines against the ffmpeg
// command line, and its viewer driven by key presses on a virtual display.
#include "support/TempFolder.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using korvane::test::TempFolder;
using korvane::test::TestVideo;
using korvane::test::TestVideoKind;
namespace fs = std::filesystem;

constexpr int kTimeoutMs = 120'000;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A child process with stdout on a pipe (read line by line) and stderr in a file.
class Process {
 public:
  Process(const std::vector<std::string>& args, const std::vector<std::string>& env, const fs::path& errFile) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> environment = env;
    for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);  // earlier entries win
    std::vector<char*> argv, envp;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const int spawned = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
    if (spawned != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start " + args[0]);
    }
  }
  ~Process() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
  }
  // The next line of stdout; "" at its end or after kTimeoutMs.
  std::string ReadLine() {
    for (;;) {
      if (const size_t end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      pollfd fd{out_, POLLIN, 0};
      if (::poll(&fd, 1, kTimeoutMs) <= 0) return {};
      char chunk[4096];
      const ssize_t got = ::read(out_, chunk, sizeof chunk);
      if (got <= 0) return std::exchange(buffer_, {});
      buffer_.append(chunk, static_cast<size_t>(got));
    }
  }
  std::string ReadAll() {
    std::string all;
    for (std::string line = ReadLine(); !line.empty(); line = ReadLine()) all += line + "\n";
    return all;
  }
  void Signal(int signal) { ::kill(pid_, signal); }
  int Wait() {
    int status = 0;
    ::waitpid(std::exchange(pid_, -1), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

class KorvaneProgram : public ::testing::Test {
 protected:
  Result Run(std::vector<std::string> args) {
    args.insert(args.begin(), KORVANE_PROGRAM);
    Process process(args, Env(), temp_.Root() / "stderr");
    Result result;
    result.out = process.ReadAll();
    result.status = process.Wait();
    result.err = ReadFile(temp_.Root() / "stderr");
    return result;
  }
  std::vector<std::string> Env() const { return {"XDG_CACHE_HOME=" + temp_.Path("cache")}; }
  // Shell output of `command` (stdout), which must succeed.
  static std::string Shell(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    char chunk[4096];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, got);
    EXPECT_EQ(0, ::pclose(pipe)) << command;
    return out;
  }
  // The luma of a picture file as ffmpeg decodes it.
  static std::string Luma(const fs::path& picture) {
    return Shell("ffmpeg -v error -i '" + picture.string() + "' -f rawvideo -pix_fmt gray -");
  }
  static int Index(const std::string& luma, int width, int height) {
    if (luma.size() < static_cast<size_t>(width) * height) return -2;
    return korvane::test::ReadFrameIndex(reinterpret_cast<const uint8_t*>(luma.data()), width, width, height);
  }
  TempFolder temp_{"korvane-cli"};
};

// ---- bad input (1) and bad usage (2) ----

struct BadCall {
  const char* name;
  std::vector<std::string> args;  // "VIDEO", "TEXT", "FILE" and "TEMP" stand for files made by the test
  int status;
  const char* message;  // part of stderr
};

class KorvaneProgramBadCall : public KorvaneProgram, public ::testing::WithParamInterface<BadCall> {};

TEST_P(KorvaneProgramBadCall, ExitsWithStatusAndPlainMessage) {
  std::ofstream(temp_.Path("notes.txt")) << "not a video\n";
  std::vector<std::string> args;
  for (const std::string& arg : GetParam().args) {
    args.push_back(arg == "VIDEO" ? TestVideo(TestVideoKind::H264Mp4) : arg == "TEXT" ? temp_.Path("notes.txt")
                   : arg == "TEMP" ? temp_.Path() : arg);
  }
  const Result result = Run(args);
  EXPECT_EQ(GetParam().status, result.status) << result.err;
  EXPECT_NE(std::string::npos, result.err.find(GetParam().message)) << result.err;
  EXPECT_EQ(0u, result.err.find("korvane: ")) << result.err;
  // A failed run leaves no cache of its own behind.
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(temp_.Root() / "cache" / "korvane", ec)) {
    EXPECT_EQ("default-video.mp4", entry.path().filename()) << entry.path();
  }
}

const BadCall kBadCalls[] = {
    {"MissingFile", {"info", "/no/such/clip.mp4"}, 1, "/no/such/clip.mp4: no such file"},
    {"Folder", {"md5", "TEMP"}, 1, "is a folder, not a video file"},
    {"TextFile", {"info", "TEXT"}, 1, "notes.txt: not a video this program can read"},
    {"CacheFolderIsAFile", {"info", "VIDEO", "--cache-dir", "TEXT"}, 1, "cache folder"},
    {"TimePastTheEnd", {"frames", "VIDEO", "--at", "99", "--out", "TEMP"}, 1, "no frame at 99.000 s"},
    {"NoSubcommand", {}, 2, "subcommand is required"},
    {"UnknownOption", {"info", "--colour"}, 2, "--colour"},
    {"FramesWithoutStart", {"frames", "VIDEO", "--out", "TEMP"}, 2, "give --at T or --frame N"},
    {"NextAndPrev", {"md5", "VIDEO", "--next", "1", "--prev", "1"}, 2, "excludes"},
    {"TimeNotANumber", {"md5", "VIDEO", "--at", "1m"}, 2, "--at 1m: not a time in seconds"},
    {"UnknownFormat", {"frames", "VIDEO", "--at", "0", "--out", "TEMP", "--format", "gif"}, 2, "gif"},
    {"DivisorZero", {"info", "VIDEO", "--divisor", "0"}, 2, "--divisor"},
};
INSTANTIATE_TEST_SUITE_P(Cli, KorvaneProgramBadCall, ::testing::ValuesIn(kBadCalls),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- md5 against ffmpeg's framemd5 ----

// Open GOPs: B-frames across key frames. The frames of every kind are the decoder's walk; here
// the program's own part: the lines it prints, in the order it steps.
TEST_F(KorvaneProgram, Md5_EveryFrameForwardsAndBackwardsMatchesFfmpeg) {
  const std::string video = TestVideo(TestVideoKind::H264OpenGopMp4);
  // The comparison the program's help and the README give.
  const std::string expected = Shell(
      "ffmpeg -v error -i '" + video + "' -map 0:v:0 -pix_fmt nv12 -f framemd5 - | awk -F', *' "
      "'/^#tb 0:/ {split($0, tb, \"[ /]\")} !/^#/ {printf \"%.3f %s\\n\", $3 * tb[3] / tb[4], $6}'");
  ASSERT_EQ(korvane::test::TestVideoSpec(TestVideoKind::H264OpenGopMp4).frameCount,
            std::count(expected.begin(), expected.end(), '\n'));

  const Result all = Run({"md5", video, "--all"});
  ASSERT_EQ(0, all.status) << all.err;
  EXPECT_EQ(expected, all.out);

  const Result back = Run({"md5", video, "--prev", "100000"});
  ASSERT_EQ(0, back.status) << back.err;
  std::vector<std::string> lines;
  std::istringstream in(back.out);
  for (std::string line; std::getline(in, line);) lines.insert(lines.begin(), line + "\n");
  std::string reversed;
  for (const std::string& line : lines) reversed += line;
  EXPECT_EQ(expected, reversed);
}

// ---- output files ----

TEST_F(KorvaneProgram, Frames_WritesEachFormatAsTheFramesStepped) {
  const std::string video = TestVideo(TestVideoKind::H264Mp4);  // 320 x 240
  for (const std::string format : {"jpeg", "png", "nv12"}) {
    const fs::path out = temp_.Root() / format;
    const Result result = Run({"frames", video, "--frame", "40", "--prev", "2", "--format", format, "--out", out});
    ASSERT_EQ(0, result.status) << result.err;
    EXPECT_EQ(3, std::count(result.out.begin(), result.out.end(), '\n')) << result.out;
    for (int i = 0; i < 3; ++i) {
      const fs::path file = out / ("frame_000" + std::to_string(i) + (format == "jpeg" ? ".jpg" : "." + format));
      const std::string luma = format == "nv12" ? ReadFile(file) : Luma(file);
      if (format == "nv12") {
        EXPECT_EQ(320u * 240 * 3 / 2, luma.size());
      }
      EXPECT_EQ(40 - i, Index(luma, 320, 240)) << file;
    }
  }
}

TEST_F(KorvaneProgram, Sheet_IsAJpegOfTheGrid) {
  const Result result = Run({"sheet", TestVideo(TestVideoKind::H264Mp4), "--out", temp_.Path("sheet.jpg"), "--cols", "3",
                             "--rows", "2", "--tile-width", "160"});
  ASSERT_EQ(0, result.status) << result.err;
  // 3 tiles of 160 x 120, and 2 rows of 120 plus an 18-pixel label strip.
  EXPECT_EQ("480x276\n", Shell("ffprobe -v error -show_entries stream=width,height -of csv=s=x:p=0 " + temp_.Path("sheet.jpg")));
}

TEST_F(KorvaneProgram, InfoJson_ParsesAndDescribesTheVideo) {
  const Result result = Run({"info", TestVideo(TestVideoKind::Rotated90Mp4), "--json", "--count"});
  ASSERT_EQ(0, result.status) << result.err;
  // Python's JSON reader as the judge of the syntax; each member comes back as "key=value".
  temp_.WriteFile("info.json", result.out);
  const std::string members = Shell(
      "python3 -c 'import json, sys\nfor k, v in json.load(open(sys.argv[1])).items(): print(k + \"=\" + "
      "(v if isinstance(v, str) else json.dumps(v)))' " + temp_.Path("info.json"));
  const std::vector<std::string> expected{"file=" + TestVideo(TestVideoKind::Rotated90Mp4), "frames=30",
                                          "frames_counted=true", "width=320", "height=240", "display_width=240",
                                          "display_height=320", "rotation=90", "frame_rate=30.0"};
  for (const std::string& member : expected)
    EXPECT_NE(std::string::npos, ("\n" + members).find("\n" + member + "\n")) << member << " in\n" << result.out;
  EXPECT_NE(std::string::npos, members.find("scan_seconds=")) << result.out;
}

// ---- the cache folder ----

TEST_F(KorvaneProgram, CacheFolder_PrivateAndEmptyAfterAnInterruptedRun) {
  const std::string video = TestVideo(TestVideoKind::H264Mp4);
  Process process({KORVANE_PROGRAM, "frames", video, "--at", "0", "--next", "89", "--format", "nv12", "--out",
                   temp_.Path("out")},
                  Env(), temp_.Root() / "stderr");
  ASSERT_NE("", process.ReadLine());  // stepping: frames are in the cache now
  const fs::path root = temp_.Root() / "cache" / "korvane";
  EXPECT_EQ(fs::perms::owner_all, fs::status(root).permissions() & fs::perms::all);
  EXPECT_FALSE(fs::is_empty(root));
  process.Signal(SIGINT);
  EXPECT_EQ(130, process.Wait()) << ReadFile(temp_.Root() / "stderr");
  EXPECT_TRUE(fs::is_empty(root));
}

// ---- the viewer, on a virtual display ----

// An Xvfb server on a free display, ended with the test.
class VirtualDisplay {
 public:
  explicit VirtualDisplay(const fs::path& errFile)
      : server_({"Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, {}, errFile) {
    display_ = server_.ReadLine();
  }
  ~VirtualDisplay() { server_.Signal(SIGTERM); }
  // ":N", or "" when no server could be started.
  std::string Name() const { return display_.empty() ? "" : ":" + display_; }

 private:
  Process server_;
  std::string display_;
};

bool OnPath(const std::string& program) { return std::system(("command -v " + program + " >/dev/null").c_str()) == 0; }

TEST_F(KorvaneProgram, Viewer_ShowsTheFrameEachKeyAsksFor) {
  if (!OnPath("Xvfb") || !OnPath("xdotool")) GTEST_SKIP() << "Xvfb or xdotool is not installed (scripts/setup)";
  std::optional<VirtualDisplay> display;
  try {
    display.emplace(temp_.Root() / "xvfb.log");
  } catch (const std::exception&) {
  }
  if (!display || display->Name().empty()) {
    GTEST_SKIP() << "no virtual display could be started: " << ReadFile(temp_.Root() / "xvfb.log");
  }
  const std::string x = "DISPLAY=" + display->Name() + " ";
  std::vector<std::string> env = Env();
  env.push_back("DISPLAY=" + display->Name());
  env.push_back("SDL_RENDER_DRIVER=software");  // drawn by the time the frame is announced
  // H264Mp4: 320 x 240 at 30 fps, 90 frames; at scale 2 the window is 640 x (480 + the bar).
  Process viewer({KORVANE_PROGRAM, "view", TestVideo(TestVideoKind::H264Mp4), "--scale", "2", "-q"}, env,
                 temp_.Root() / "viewer.log");
  ASSERT_EQ("shown 0 0.000", viewer.ReadLine()) << ReadFile(temp_.Root() / "viewer.log");
  std::string window = Shell(x + "xdotool search --sync --name '^korvane - '");
  window.erase(window.find_last_not_of("\n") + 1);
  ASSERT_FALSE(window.empty());
  Shell(x + "xdotool windowfocus --sync " + window);

  struct Step {
    const char* key;
    int frame;
    const char* line;
  };
  const Step steps[] = {
      {"Right", 1, "shown 1 0.033"},        {"Right", 2, "shown 2 0.067"},      {"Left", 1, "shown 1 0.033"},
      {"shift+Right", 31, "shown ~31 1.033"}, {"End", 89, "shown ~89 2.967"},   {"shift+Left", 59, "shown ~59 1.967"},
      {"Home", 0, "shown 0 0.000"},         {"Right", 1, "shown 1 0.033"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.key);
    Shell(x + "xdotool key " + step.key);
    ASSERT_EQ(step.line, viewer.ReadLine()) << ReadFile(temp_.Root() / "viewer.log");
    const std::string shot = Shell("ffmpeg -v error -f x11grab -draw_mouse 0 -window_id " + window + " -i " +
                                   display->Name() + " -frames:v 1 -f rawvideo -pix_fmt gray -");
    ASSERT_EQ(640u * 488, shot.size());
    EXPECT_EQ(step.frame, Index(shot, 640, 480));
    // The title: "... - TIME s - frame N", with "≈N" for a number reckoned from the frame rate.
    std::istringstream line(step.line);
    std::string word, number, time;
    line >> word >> number >> time;
    if (number[0] == '~') number = "\xE2\x89\x88" + number.substr(1);
    EXPECT_NE(std::string::npos, Shell(x + "xdotool getwindowname " + window).find(time + " s - frame " + number + "\n"));
  }
  Shell(x + "xdotool key q");
  EXPECT_EQ(0, viewer.Wait());
}

}  // namespace
