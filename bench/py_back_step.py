"""The same backward walk through the Python package and through the C++ API, in one run.

    python3 bench/py_back_step.py --walker build-release/bench/back_step_walk --media DIR --out DIR

Run by scripts/bench with the interpreter the module was built for (build-release/python/python3).
On the 720p file of the engine walks (made with the ffmpeg CLI when missing), each side opens the
video, shows the middle frame and steps back 200 frames, timing every step; the two sides take
turns, twice each. Prints the medians and `ratio py_back_step_720p <python/C++>` of the medians.
"""
import argparse
import os
import statistics
import subprocess
import time

import korvane

FPS = 30
FILE = "h264-720p-60s-gop60.mp4"  # the engine walks' 720p video (engine_walks.cpp makes the same)
ENCODE = ("-vf noise=alls=6:allf=t -pix_fmt yuv420p -c:v libx264 -preset veryfast -g 60 -keyint_min 60 "
          "-sc_threshold 0 -bf 0").split()


def make_video(media):
    path = os.path.join(media, FILE)
    if not os.path.exists(path):
        os.makedirs(media, exist_ok=True)
        partial = os.path.join(media, "partial-" + FILE)
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                        f"testsrc2=size=1280x720:rate={FPS}:duration=60", *ENCODE, partial], check=True)
        os.rename(partial, path)
    return path


def python_walk(path, cache, start, steps):
    times = []
    with korvane.Video(path, cache_dir=cache) as video:
        video.wait_initialized()
        shown = video[start]
        for _ in range(steps):
            before = time.perf_counter()
            frame = video.previous()
            times.append((time.perf_counter() - before) * 1000)
            if frame is None or frame.index != shown.index - 1:
                raise SystemExit(f"python walk: stepped from frame {shown.index} to {frame and frame.index}")
            shown = frame
    return times


def cpp_walk(walker, path, cache, start, steps):
    out = subprocess.run([walker, path, cache, str(start), str(steps), str(FPS)], check=True, capture_output=True,
                         text=True).stdout
    return [float(line) for line in out.split()]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--walker", required=True)
    parser.add_argument("--media", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--steps", type=int, default=200)
    options = parser.parse_args()
    path = make_video(options.media)
    cache = os.path.join(options.out, "py-back-step-cache")
    os.makedirs(cache, exist_ok=True)
    start = 900
    python_times, cpp_times = [], []
    for _ in range(2):
        cpp_times += cpp_walk(options.walker, path, os.path.join(cache, "cpp"), start, options.steps)
        python_times += python_walk(path, cache, start, options.steps)
    python_median, cpp_median = statistics.median(python_times), statistics.median(cpp_times)
    print(f"py_back_step_720p: {len(python_times)} steps back from frame {start}, median ms python "
          f"{python_median:.3f} / C++ {cpp_median:.3f}, mean {statistics.mean(python_times):.3f} / "
          f"{statistics.mean(cpp_times):.3f}")
    print(f"ratio py_back_step_720p {python_median / cpp_median:.3f}")


if __name__ == "__main__":
    main()
