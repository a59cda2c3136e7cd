"""The korvane package through its public surface, against FFmpeg's decode of the same file."""
import gc
import hashlib
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import korvane
from conftest import FPS, FRAMES, HEIGHT, WIDTH, ffmpeg_rgb_frames

BOUND = 60  # seconds: generous bounds for the waits on events, never sleeps


def md5(frame):
    return hashlib.md5(frame.nv12).hexdigest()


@pytest.fixture
def video(clip, cache_root):
    with korvane.Video(clip, cache_dir=cache_root) as opened:
        assert opened.wait_initialized(timeout=BOUND)
        yield opened


def test_Properties_OfGeneratedClip(video, cache_root):
    assert video.size == (WIDTH, HEIGHT)
    assert video.rotation == 0
    assert video.frame_rate == pytest.approx(FPS)
    assert len(video) == FRAMES
    assert video.duration == pytest.approx((FRAMES - 1) / FPS)
    assert video.cache_folder.parent == cache_root


def test_Step_HundredForwardsHundredBack_MatchFfmpeg(video, ffmpeg_md5):
    start = video[20]
    assert (start.index, md5(start)) == (20, ffmpeg_md5[20])
    walk = [video.next() for _ in range(100)] + [video.previous() for _ in range(100)]
    expected = list(range(21, 121)) + list(range(119, 19, -1))
    assert [f.index for f in walk] == expected
    assert [f.time for f in walk] == pytest.approx([i / FPS for i in expected])
    assert [md5(f) for f in walk] == [ffmpeg_md5[i] for i in expected]
    assert video.position == pytest.approx(20 / FPS)


@pytest.mark.parametrize("index, expected", [(0, 0), (75, 75), (149, 149), (-1, 149), (-150, 0), (49, 49), (50, 50)],
                         ids=["first", "middle", "last", "minus_one", "minus_all", "before_key", "key"])
def test_Index_RandomAccess_MatchFfmpeg(video, ffmpeg_md5, index, expected):
    frame = video[index]
    assert (frame.index, md5(frame)) == (expected, ffmpeg_md5[expected])


@pytest.mark.parametrize("seconds, expected", [(0.0, 0), (3.01, 75), (1.039, 25), (1.04, 26), (5.999, 149)],
                         ids=["zero", "inside", "frame_end", "frame_start", "last_frame_end"])
def test_At_RandomAccessByTime_MatchFfmpeg(video, ffmpeg_md5, seconds, expected):
    frame = video.at(seconds)
    assert (frame.index, md5(frame)) == (expected, ffmpeg_md5[expected])


def test_Ends_NoFrameBeyond(video):
    assert video[0] is not None and video.previous() is None
    assert video[-1] is not None and video.next() is None
    with pytest.raises(IndexError, match="150"):
        video[FRAMES]
    with pytest.raises(ValueError, match="-0.1"):
        video.at(-0.1)
    with pytest.raises(ValueError):
        video.seek(FRAMES / FPS)


def test_Frames_BothDirections(video):
    assert [f.index for f in video.frames(1.0, 1.2)] == [25, 26, 27, 28, 29]
    assert [f.index for f in video.frames(1.0, 1.2, backwards=True)] == [29, 28, 27, 26, 25]
    assert next(reversed(video)).index == FRAMES - 1
    assert [f.index for f in video.frames(start=5.9)] == [147, 148, 149]


def test_Nv12_ReadOnlyPackedBytes(video):
    nv12 = video[3].nv12
    assert nv12.dtype == np.uint8 and nv12.shape == (WIDTH * HEIGHT * 3 // 2,)
    with pytest.raises(ValueError):
        nv12[0] = 1


def test_ToRgb_WithinOneOfFfmpeg(video, ffmpeg_rgb):
    for index in (0, 51, 149):
        rgb = video[index].to_rgb()
        assert rgb.shape == (HEIGHT, WIDTH, 3)
        assert np.abs(rgb.astype(int) - ffmpeg_rgb[index]).max() <= 1


def test_ToRgb_RotatedVideoUpright(rotated_clip, cache_root):
    with korvane.Video(rotated_clip, cache_dir=cache_root) as video:
        assert video.rotation in (90, 270) and video.size == (48, 64)
        rgb = video[5].to_rgb()
    assert np.abs(rgb.astype(int) - ffmpeg_rgb_frames(rotated_clip, 48, 64)[5]).max() <= 1


def test_Divisor_HalvesTheFrames(tiny_clip, cache_root):
    with korvane.Video(tiny_clip, cache_dir=cache_root, divisor=2) as video:
        frame = video[1]
        assert video.size == (32, 24) and frame.nv12.size == 32 * 24 * 3 // 2 and frame.to_rgb().shape == (24, 32, 3)


def test_SaveJpeg_WritesAJpeg(video, tmp_path):
    path = tmp_path / "frame.jpg"
    video[10].save_jpeg(path)
    assert path.read_bytes()[:2] == b"\xff\xd8"
    with pytest.raises(ValueError, match="0.9"):
        video[10].save_jpeg(path, quality=0.5)


def test_WaitInitialized_ReportsProgressToTheEnd(clip, cache_root):
    seen = []
    with korvane.Video(clip, cache_dir=cache_root) as opened:
        assert opened.wait_initialized(progress=seen.append)
    assert seen[-1] == 1.0 and seen == sorted(seen)


def test_Callbacks_ArriveAndNoneAfterClose(clip, cache_root):
    reported = threading.Condition()
    closed = threading.Event()
    late = []
    positions = []
    cached = []

    def record(into):
        def callback(value):
            late.append(closed.is_set())
            with reported:
                into.append(value)
                reported.notify_all()
        return callback

    video = korvane.Video(clip, cache_dir=cache_root)
    video.on_position_changed = record(positions)
    video.on_frame_cached = record(cached)
    video.on_error = record([])
    assert video.on_error is not None and video.on_frame_cached is not None
    frame = video[40]
    with reported:
        assert reported.wait_for(lambda: frame.time in positions and cached, BOUND)
    # Close while callbacks keep coming: steps from another thread until close ends them.
    stepper = threading.Thread(target=lambda: [_step_quietly(video) for _ in range(200)])
    stepper.start()
    video.close()
    closed.set()
    stepper.join(BOUND)
    assert not stepper.is_alive()
    assert not any(late)
    assert not os.path.exists(video.cache_folder)


def _step_quietly(video):
    try:
        video.next()
    except korvane.Error as error:
        assert error.hresult == 0x80000013  # closed


def test_Close_WhileACallbackRuns_ReturnsPromptly(clip, cache_root):
    inside = threading.Event()
    leave = threading.Event()
    video = korvane.Video(clip, cache_dir=cache_root)

    def slow(seconds):
        inside.set()
        leave.wait(BOUND)  # held inside until close has begun (the timer below)

    video.on_position_changed = slow
    video.wait_initialized()
    threading.Thread(target=_step_quietly, args=(video,)).start()
    assert inside.wait(BOUND)
    threading.Timer(0.2, leave.set).start()
    video.close()  # would deadlock if it held the GIL the callback needs to finish
    assert leave.is_set()
    with pytest.raises(korvane.Error) as error:
        video.next()
    assert error.value.hresult == 0x80000013


def test_Close_FromInsideACallback(clip, cache_root):
    video = korvane.Video(clip, cache_dir=cache_root)
    called = threading.Event()

    def close_here(seconds):
        video.close()
        called.set()

    video.wait_initialized()
    video.on_position_changed = close_here
    try:
        video[30]  # the frame, or the close when it came first
    except korvane.Error as error:
        assert error.hresult == 0x80000013
    assert called.wait(BOUND) and video.closed
    assert not os.path.exists(video.cache_folder)


def test_Threads_OneStepsAnotherReadsProperties(video):
    errors = []
    done = threading.Event()

    def read():
        while not done.is_set():
            try:
                assert 0 <= video.position <= video.duration
                assert video.size == (WIDTH, HEIGHT) and len(video) == FRAMES
            except Exception as error:  # noqa: BLE001 - reported below
                errors.append(error)
                return

    reader = threading.Thread(target=read)
    reader.start()
    indexes = [video[10].index] + [video.next().index for _ in range(30)] + [video.previous().index for _ in range(30)]
    done.set()
    reader.join(BOUND)
    assert not errors
    assert indexes == list(range(10, 41)) + list(range(39, 9, -1))


def _unwritable_folder(tmp_path):
    if os.geteuid() == 0:
        return "/sys"  # root writes anywhere permissions allow nothing: sysfs refuses new folders
    folder = tmp_path / "read-only"
    folder.mkdir(mode=0o500)
    return folder


@pytest.mark.parametrize("case, exception", [
    ("text_file", korvane.Error),
    ("missing_file", FileNotFoundError),
    ("folder", IsADirectoryError),
    ("unwritable_cache", PermissionError),
    ("missing_cache", FileNotFoundError),
    ("zero_divisor", ValueError),
])
def test_Open_BadInput_RaisesTheRightException(clip, tmp_path, cache_root, case, exception):
    text = tmp_path / "notes.txt"
    text.write_text("not a video\n")
    # The arguments, and the bad value the message must name.
    path, cache, divisor, named = {
        "text_file": (text, cache_root, 1, text),
        "missing_file": (tmp_path / "missing.mp4", cache_root, 1, "missing.mp4"),
        "folder": (tmp_path, cache_root, 1, tmp_path),
        "unwritable_cache": (clip, _unwritable_folder(tmp_path), 1, _unwritable_folder(tmp_path)),
        "missing_cache": (clip, tmp_path / "no-such-folder", 1, "no-such-folder"),
        "zero_divisor": (clip, cache_root, 0, "divisor 0"),
    }[case]
    with pytest.raises(exception) as error:
        korvane.Video(path, cache_dir=cache, divisor=divisor)
    assert str(named) in str(error.value)
    if case == "text_file":
        assert error.value.hresult == 0x80004005
    assert list(cache_root.iterdir()) == []


def _rss_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def test_Cycles_OpenStepClose_LeaveNothingBehind(tiny_clip, cache_root):
    def cycle():
        with korvane.Video(tiny_clip, cache_dir=cache_root) as video:
            video.next().nv12
            video.previous().to_rgb()

    for _ in range(40):  # the allocator's pools and FFmpeg's one-time tables settle first
        cycle()
    gc.collect()
    baseline = _rss_kib()
    for _ in range(160):
        cycle()
    gc.collect()
    assert korvane._live_objects() == 0
    assert list(cache_root.iterdir()) == []
    assert _rss_kib() - baseline < 16 * 1024, "resident memory grew by more than 16 MiB over 160 cycles"


def test_Install_ModuleImportsFromThePrefix(tmp_path, tiny_clip):
    build = os.environ.get("KORVANE_BUILD_DIR")
    if not build:
        pytest.skip("KORVANE_BUILD_DIR not set (ctest sets it)")
    subprocess.run(["cmake", "--install", build, "--prefix", str(tmp_path)], check=True, capture_output=True)
    stubs = list(tmp_path.glob("lib/python3*/*-packages/korvane.pyi"))
    assert len(stubs) == 1
    environment = dict(os.environ, PYTHONPATH=str(stubs[0].parent))
    script = ("import korvane, sys; v = korvane.Video(sys.argv[1], sys.argv[2]); "
              "print(korvane.__file__, v.next().index); v.close()")
    result = subprocess.run([sys.executable, "-c", script, str(tiny_clip), str(tmp_path)], env=environment,
                            check=True, capture_output=True, text=True)
    module, index = result.stdout.split()
    assert module.startswith(str(tmp_path)) and index == "1"
