#!/usr/bin/python3
"""Independent numpy reference for the MelSpectrogram model.

Computes Whisper's log-mel features in float64 for a fixed test signal and
writes a subset of the frames, so the C++ model can be checked against it:

    /usr/bin/python3 tools/mel_reference.py tests/data/mel

Files written per band count N (80 and 128):
    reference-N.f32   little-endian float32, [len(frames)][N]
    frames.txt        the frame indices stored, one per line
The test signal is regenerated bit for bit by the C++ test (see signal()).

Features of any window, for tests that make their own audio:

    /usr/bin/python3 tools/mel_reference.py --samples in.f32 N out.f32

reads little-endian float32 samples (one window; shorter input is zero-padded,
longer is refused) and writes all frames, [N_SAMPLES // HOP][N] float32.
"""
import os
import sys

import numpy as np

SAMPLE_RATE = 16000
N_FFT = 400
HOP = 160
N_SAMPLES = 480000


def signal():
    # 25 s of tones, a chirp and LCG noise, then 5 s of zeros (a padded window).
    n = np.arange(N_SAMPLES, dtype=np.float64)
    t = n / SAMPLE_RATE
    noise = np.empty(N_SAMPLES, dtype=np.float64)
    s = 12345
    for i in range(N_SAMPLES):
        s = (s * 1664525 + 1013904223) & 0xFFFFFFFF
        noise[i] = (s >> 8) / 16777216.0 * 2.0 - 1.0
    x = 0.3 * np.sin(2 * np.pi * 440.0 * t) + 0.2 * np.sin(2 * np.pi * (200.0 * t + 50.0 * t * t)) + 0.05 * noise
    x[25 * SAMPLE_RATE:] = 0.0
    return x.astype(np.float32)


def hz_to_mel(f):
    f = np.asarray(f, dtype=np.float64)
    f_sp = 200.0 / 3
    min_log_hz = 1000.0
    min_log_mel = min_log_hz / f_sp
    logstep = np.log(6.4) / 27.0
    return np.where(f >= min_log_hz, min_log_mel + np.log(np.maximum(f, 1e-12) / min_log_hz) / logstep, f / f_sp)


def mel_to_hz(m):
    m = np.asarray(m, dtype=np.float64)
    f_sp = 200.0 / 3
    min_log_hz = 1000.0
    min_log_mel = min_log_hz / f_sp
    logstep = np.log(6.4) / 27.0
    return np.where(m >= min_log_mel, min_log_hz * np.exp(logstep * (m - min_log_mel)), f_sp * m)


def mel_filters(n_mels):
    fft_freqs = np.linspace(0, SAMPLE_RATE / 2, 1 + N_FFT // 2)
    mel_pts = mel_to_hz(np.linspace(hz_to_mel(0.0), hz_to_mel(SAMPLE_RATE / 2), n_mels + 2))
    fdiff = np.diff(mel_pts)
    ramps = mel_pts[:, None] - fft_freqs[None, :]
    lower = -ramps[:-2] / fdiff[:-1, None]
    upper = ramps[2:] / fdiff[1:, None]
    weights = np.maximum(0, np.minimum(lower, upper))
    enorm = 2.0 / (mel_pts[2:n_mels + 2] - mel_pts[:n_mels])
    return weights * enorm[:, None]


def log_mel(audio, n_mels):
    x = np.pad(audio.astype(np.float64), N_FFT // 2, mode="reflect")
    n_frames = 1 + (len(x) - N_FFT) // HOP
    idx = np.arange(N_FFT)[None, :] + HOP * np.arange(n_frames)[:, None]
    window = 0.5 - 0.5 * np.cos(2 * np.pi * np.arange(N_FFT) / N_FFT)  # periodic Hann
    spec = np.fft.rfft(x[idx] * window, axis=1)
    power = np.abs(spec[:-1]) ** 2  # the last frame is dropped
    mel = power @ mel_filters(n_mels).T  # [frames, n_mels]
    log_spec = np.log10(np.maximum(mel, 1e-10))
    log_spec = np.maximum(log_spec, log_spec.max() - 8.0)
    return (log_spec + 4.0) / 4.0


def stored_frames():
    return [f for f in range(N_SAMPLES // HOP) if f < 10 or f % 10 == 0 or f >= 2990 or 2495 <= f <= 2505]


def features_of_file(path, n_mels, out):
    audio = np.fromfile(path, dtype="<f4")
    if len(audio) > N_SAMPLES:
        sys.exit(f"{path}: {len(audio)} samples, more than one window of {N_SAMPLES}")
    audio = np.pad(audio, (0, N_SAMPLES - len(audio)))
    log_mel(audio, n_mels).astype("<f4").tofile(out)


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--samples":
        features_of_file(sys.argv[2], int(sys.argv[3]), sys.argv[4])
        return
    out = sys.argv[1] if len(sys.argv) > 1 else "tests/data/mel"
    os.makedirs(out, exist_ok=True)
    audio = signal()
    frames = stored_frames()
    with open(os.path.join(out, "frames.txt"), "w") as f:
        f.write("".join(f"{i}\n" for i in frames))
    for n_mels in (80, 128):
        feats = log_mel(audio, n_mels)
        feats[frames].astype("<f4").tofile(os.path.join(out, f"reference-{n_mels}.f32"))
        print(n_mels, feats.shape, float(feats.min()), float(feats.max()))


if __name__ == "__main__":
    main()
