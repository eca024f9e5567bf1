"""Writes the small sample runs in examples/data/ (seeded, so the files never change).

WD1: 16 events of 512 uint16 samples from one board channel: negative pulses on a
baseline near 8000 ADC counts. WD2: 10 events of two channels x 256 float32 samples in
volts, sampled every 200 ps. Run it again only to regenerate the files.
"""

import pathlib

import numpy as np

from vornkit._layouts import header_dtype

HERE = pathlib.Path(__file__).resolve().parent / "data"


def pulse(
    rng: np.random.Generator,
    n: int,
    baseline: float,
    noise: float,
    amplitude: float,
    t0: float,
    rise: float,
    fall: float,
) -> "np.ndarray[tuple[int], np.dtype[np.float64]]":
    t = np.arange(n, dtype=np.float64)
    shape = np.where(t >= t0, (1 - np.exp(-(t - t0) / rise)) * np.exp(-(t - t0) / fall), 0.0)
    shape /= max(float(shape.max()), 1e-12)
    wave: np.ndarray[tuple[int], np.dtype[np.float64]] = baseline + rng.normal(0.0, noise, n) - amplitude * shape
    return wave


def wd1(rng: np.random.Generator, events: int = 16, samples: int = 512, board: int = 3) -> bytes:
    out = bytearray()
    timestamp = 123_456
    for i in range(events):
        wave = pulse(rng, samples, 8000, 4.0, rng.uniform(300, 3000), rng.uniform(150, 170), 3.0, 40.0)
        data = np.clip(np.rint(wave), 0, 16383).astype("<u2")
        timestamp += int(rng.integers(20_000, 60_000))
        out += np.array((24 + 2 * samples, board, 0, 5, i, timestamp & 0x7FFFFFFF), header_dtype("WD1")).tobytes()
        out += data.tobytes()
    return bytes(out)


def wd2(
    rng: np.random.Generator, events: int = 10, samples: int = 256, channels: int = 2, period_ps: int = 200
) -> bytes:
    out = bytearray()
    timestamp = 1_700_000_000_000_000
    for i in range(events):
        amplitude = rng.uniform(0.05, 0.4)
        t0 = rng.uniform(90, 110)
        waves = [
            pulse(rng, samples, 0.0, 0.002, amplitude * (1.0 if c == 0 else 0.6), t0 + 2 * c, 2.0, 15.0)
            for c in range(channels)
        ]
        timestamp += int(rng.integers(1_000_000, 9_000_000))
        out += np.array((1000 + i, timestamp, samples, period_ps, channels), header_dtype("WD2")).tobytes()
        out += np.concatenate(waves).astype("<f4").tobytes()
    return bytes(out)


def main() -> None:
    rng = np.random.default_rng(20261208)
    HERE.mkdir(exist_ok=True)
    (HERE / "run.wd1").write_bytes(wd1(rng))
    (HERE / "run.wd2").write_bytes(wd2(rng))


if __name__ == "__main__":
    main()
