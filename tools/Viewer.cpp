#include "Viewer.h"

#include <SDL.h>

#include <cmath>
#include <deque>
#include <iostream>
#include <memory>

namespace korvane::cli {

namespace {

constexpr int kBarHeight = 8;
constexpr int kFitWidth = 960, kFitHeight = 540;
constexpr uint32_t kWaitMs = 100;
constexpr size_t kMaxQueuedKeys = 2;  // a held key must not leave a backlog of steps behind it

enum class Action { Next, Previous, SecondOn, SecondBack, First, Last };

struct WindowFree {
  void operator()(SDL_Window* w) const { SDL_DestroyWindow(w); }
};
struct RendererFree {
  void operator()(SDL_Renderer* r) const { SDL_DestroyRenderer(r); }
};
struct TextureFree {
  void operator()(SDL_Texture* t) const { SDL_DestroyTexture(t); }
};

class Sdl {
 public:
  Sdl() {
    // Ctrl-C goes to the program's own handler, which ends the run and removes the cache.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_Init(SDL_INIT_VIDEO) != 0) throw InputError(std::string("no window can be opened: ") + SDL_GetError());
  }
  ~Sdl() { SDL_Quit(); }
};

class Viewer {
 public:
  explicit Viewer(const ViewOptions& options) : name_(options.open.video.filename().string()), scale_(options.scale) {
    window_.reset(SDL_CreateWindow(("korvane - " + name_).c_str(), SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, 640,
                                   360 + kBarHeight, 0));
    if (window_) renderer_.reset(SDL_CreateRenderer(window_.get(), -1, 0));
    if (!renderer_) throw InputError(std::string("no window can be opened: ") + SDL_GetError());
    wake_ = SDL_RegisterEvents(1);
  }

  int Run(const ViewOptions& options) {
    OpenOptions open = options.open;
    open.onScanProgress = [this](double progress) {
      PumpDuringScan();
      SDL_SetWindowTitle(window_.get(), ("korvane - " + name_ + " - scanning " +
                                         std::to_string(static_cast<int>(progress * 100)) + "%").c_str());
      Draw(progress);
    };
    Session session(open);
    session_ = &session;
    VideoDecoder& video = session.Video();
    nominal_ = session.NominalFrameDuration();
    FitWindow(video.FrameWidth(), video.FrameHeight());
    auto wake = [this](auto...) {
      SDL_Event event{};
      event.type = wake_;
      SDL_PushEvent(&event);
    };
    Subscription positions = video.OnPositionChanged(wake);
    Subscription cached = video.OnCachingCompleted(wake);
    // The first pass ends with the first frame shown.
    counted_ = 0;
    Show();
    while (!quit_) {
      ThrowIfInterrupted();
      SDL_Event event;
      if (!SDL_WaitEventTimeout(&event, kWaitMs)) continue;
      do {
        Handle(event);
      } while (!quit_ && SDL_PollEvent(&event));
      if (busy_ && Landed()) {
        busy_ = false;
        awaitingFrame_ = true;
      }
      if (awaitingFrame_) Show();
      while (!busy_ && !awaitingFrame_ && !queue_.empty()) Request();
    }
    session_ = nullptr;
    return 0;
  }

 private:
  void PumpDuringScan() {
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
      if (event.type == SDL_QUIT) throw Interrupted();
    }
  }

  void FitWindow(uint32_t width, uint32_t height) {
    uint32_t scale = scale_;
    if (scale == 0) {
      scale = std::max<uint32_t>(1, std::min(kFitWidth / std::max<uint32_t>(width, 1), kFitHeight / std::max<uint32_t>(height, 1)));
    }
    picture_ = {0, 0, static_cast<int>(width * scale), static_cast<int>(height * scale)};
    SDL_SetWindowSize(window_.get(), picture_.w, picture_.h + kBarHeight);
    texture_.reset(SDL_CreateTexture(renderer_.get(), SDL_PIXELFORMAT_NV12, SDL_TEXTUREACCESS_STREAMING,
                                     static_cast<int>(width), static_cast<int>(height)));
    if (!texture_) throw InputError(std::string("the window cannot show NV12 pictures: ") + SDL_GetError());
  }

  void Handle(const SDL_Event& event) {
    if (event.type == SDL_QUIT) quit_ = true;
    if (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_EXPOSED) Draw(BarFraction());
    if (event.type != SDL_KEYDOWN) return;
    const bool shift = (event.key.keysym.mod & KMOD_SHIFT) != 0;
    std::optional<Action> action;
    switch (event.key.keysym.sym) {
      case SDLK_RIGHT: action = shift ? Action::SecondOn : Action::Next; break;
      case SDLK_LEFT: action = shift ? Action::SecondBack : Action::Previous; break;
      case SDLK_HOME: action = Action::First; break;
      case SDLK_END: action = Action::Last; break;
      case SDLK_ESCAPE:
      case SDLK_q: quit_ = true; break;
      default: break;
    }
    if (action && queue_.size() < kMaxQueuedKeys) queue_.push_back(*action);
  }

  // Starts the first queued action; one that cannot move (an end reached) is dropped.
  void Request() {
    VideoDecoder& video = session_->Video();
    const Action action = queue_.front();
    queue_.pop_front();
    const int64_t position = video.Position();
    before_ = position;
    target_.reset();
    try {
      switch (action) {
        case Action::Next:
          if (!video.HasNextFrame()) return;
          video.MoveNext();
          if (counted_) ++*counted_;
          break;
        case Action::Previous:
          if (!video.HasPreviousFrame()) return;
          video.MovePrevious();
          if (counted_) --*counted_;
          break;
        case Action::SecondOn:
          Go(std::min(position + kTicksPerSecond, video.Duration()));
          counted_.reset();
          break;
        case Action::SecondBack:
          Go(std::max<int64_t>(position - kTicksPerSecond, 0));
          counted_.reset();
          break;
        case Action::First:
          counted_ = 0;
          Go(0);
          break;
        case Action::Last:
          counted_.reset();
          Go(video.Duration());
          break;
      }
    } catch (const Error& e) {
      if (e.code() == E_BOUNDS) return;
      throw;
    }
    busy_ = true;
  }

  // Whether the request made at position before_ has been answered: a late report of an
  // earlier request can come after it, so the position itself tells.
  bool Landed() const {
    VideoDecoder& video = session_->Video();
    const int64_t position = video.Position();
    return position != before_ || (target_ && Contains(position, *target_));
  }
  bool Contains(int64_t frame, int64_t time) const {
    return frame >= 0 && frame <= time && time < frame + session_->Video().FrameDuration(frame);
  }
  void Go(int64_t time) {
    target_ = time;
    if (Contains(before_, time)) throw Error(E_BOUNDS, "already there");
    session_->Video().SetPosition(time);
  }

  // Puts the frame at the current position in the window once it is decoded.
  void Show() {
    VideoDecoder& video = session_->Video();
    const int64_t position = video.Position();
    std::optional<Frame> frame = video.FrameAt(position);
    if (!frame) return;  // comes with the caching of its window
    awaitingFrame_ = false;
    SDL_UpdateNVTexture(texture_.get(), nullptr, frame->nv12.data(), static_cast<int>(frame->width), frame->Chroma(),
                        static_cast<int>(Frame::ChromaRowBytes(frame->width)));
    haveFrame_ = true;
    std::string number;
    if (counted_) {
      number = std::to_string(*counted_);
    } else {
      number = "~" + std::to_string(nominal_ > 0 ? (position + nominal_ / 2) / nominal_ : 0);
    }
    const std::string title = "korvane - " + name_ + " - " + Seconds(position) + " s - frame " +
                              (counted_ ? number : "\xE2\x89\x88" + number.substr(1));
    SDL_SetWindowTitle(window_.get(), title.c_str());
    Draw(BarFraction());
    std::cout << "shown " << number << " " << Seconds(position) << std::endl;
  }

  double BarFraction() const {
    if (session_ == nullptr) return 0;
    const int64_t duration = session_->Video().Duration();
    return duration > 0 ? static_cast<double>(session_->Video().Position()) / duration : 0;
  }

  void Draw(double fraction) {
    SDL_Renderer* r = renderer_.get();
    SDL_SetRenderDrawColor(r, 0, 0, 0, 255);
    SDL_RenderClear(r);
    if (haveFrame_) SDL_RenderCopy(r, texture_.get(), nullptr, &picture_);
    int width = 0, height = 0;
    SDL_GetRendererOutputSize(r, &width, &height);
    const SDL_Rect track{0, height - kBarHeight, width, kBarHeight};
    const SDL_Rect done{0, height - kBarHeight, static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * width)),
                        kBarHeight};
    SDL_SetRenderDrawColor(r, 48, 48, 48, 255);
    SDL_RenderFillRect(r, &track);
    if (session_ == nullptr) {
      SDL_SetRenderDrawColor(r, 80, 200, 90, 255);  // the first pass
    } else {
      SDL_SetRenderDrawColor(r, 70, 140, 230, 255);  // the position
    }
    SDL_RenderFillRect(r, &done);
    SDL_RenderPresent(r);
  }

  std::string name_;
  uint32_t scale_;
  std::unique_ptr<SDL_Window, WindowFree> window_;
  std::unique_ptr<SDL_Renderer, RendererFree> renderer_;
  std::unique_ptr<SDL_Texture, TextureFree> texture_;
  uint32_t wake_ = 0;
  SDL_Rect picture_{0, 0, 640, 360};
  Session* session_ = nullptr;
  int64_t nominal_ = 0;
  std::deque<Action> queue_;
  bool busy_ = false;           // a request has not been answered yet
  bool awaitingFrame_ = false;  // answered, its frame not decoded yet
  bool haveFrame_ = false;
  bool quit_ = false;
  int64_t before_ = -1;             // the position when the last request was made
  std::optional<int64_t> target_;   // the time it asked for, when not a step
  std::optional<int64_t> counted_;  // the frame number, while it is known step by step
};

}  // namespace

int RunViewer(const ViewOptions& options) {
  Sdl sdl;
  Viewer viewer(options);
  return viewer.Run(options);
}

}  // namespace korvane::cli
