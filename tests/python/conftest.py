"""Generated media for the korvane package's tests, and FFmpeg's own decode of it to compare with.

ctest runs pytest with the freshly built module first on PYTHONPATH (build/python/python3).
"""
import hashlib
import subprocess

import numpy as np
import pytest

# H.264 with 3 B-frames and a key frame every 50: 150 frames of 320x240 at 25 fps, so that steps
# back cross group boundaries and presentation order differs from decode order.
WIDTH, HEIGHT, FPS, FRAMES = 320, 240, 25, 150
NV12_BYTES = WIDTH * HEIGHT * 3 // 2


def ffmpeg(*args, data=None):
    return subprocess.run(["ffmpeg", "-v", "error", "-nostdin", *args], input=data, capture_output=True,
                          check=True).stdout


def make_video(path, size, frames, rate=FPS):
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}", "-frames:v", str(frames), "-c:v", "libx264",
           "-preset", "veryfast", "-bf", "3", "-g", "50", "-pix_fmt", "yuv420p", "-y", str(path))
    return path


@pytest.fixture(scope="session")
def media(tmp_path_factory):
    return tmp_path_factory.mktemp("media")


@pytest.fixture(scope="session")
def clip(media):
    return make_video(media / "bframes-320x240.mp4", f"{WIDTH}x{HEIGHT}", FRAMES)


@pytest.fixture(scope="session")
def tiny_clip(media):
    return make_video(media / "tiny-64x48.mp4", "64x48", 12)


@pytest.fixture(scope="session")
def rotated_clip(media):
    """64x48 stored, with a display matrix that turns it a quarter: shown 48x64."""
    plain = make_video(media / "plain-64x48.mp4", "64x48", 12)
    ffmpeg("-i", str(plain), "-c", "copy", "-metadata:s:v:0", "rotate=90", "-y", str(media / "rotated.mp4"))
    return media / "rotated.mp4"


def ffmpeg_rgb_frames(path, width, height):
    """FFmpeg's RGB conversion of its NV12 decode (turned upright as FFmpeg turns it), per frame."""
    raw = ffmpeg("-i", str(path), "-fps_mode", "passthrough", "-vf", "format=nv12", "-f", "rawvideo", "-pix_fmt",
                 "rgb24", "-")
    return np.frombuffer(raw, np.uint8).reshape(-1, height, width, 3)


@pytest.fixture(scope="session")
def ffmpeg_md5(clip):
    """MD5 of every frame's NV12 bytes as FFmpeg decodes it, in presentation order."""
    raw = ffmpeg("-i", str(clip), "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "nv12", "-")
    assert len(raw) == FRAMES * NV12_BYTES
    return [hashlib.md5(raw[i * NV12_BYTES:(i + 1) * NV12_BYTES]).hexdigest() for i in range(FRAMES)]


@pytest.fixture(scope="session")
def ffmpeg_rgb(clip):
    return ffmpeg_rgb_frames(clip, WIDTH, HEIGHT)


@pytest.fixture
def cache_root(tmp_path):
    root = tmp_path / "cache"
    root.mkdir()
    return root
