// One-sided amplitude spectrum of a selected time range of one column. The samples are
// taken as evenly spaced (the rate is estimated from the times), the mean is removed, a Hann
// window is applied and the block is zero-padded to a power of two. Amplitudes are scaled so
// that a sine of amplitude A shows about A at its peak.

import FFT from '../lib/fft.js';
import { indexRange } from './stats.js';

const MIN_POINTS = 8;

// { freqs, amps, dominant: { freq, amp }, rate, n } or null with fewer than 8 samples.
// Above maxPoints samples only the middle maxPoints of the range are analysed (thinning
// would fold high frequencies onto low ones).
export function amplitudeSpectrum(times, values, t0, t1, { maxPoints = 65536 } = {}) {
  const [first, last] = indexRange(times, Math.min(t0, t1), Math.max(t0, t1));
  let from = first;
  let count = last - first + 1;
  if (count > maxPoints) {
    from += Math.floor((count - maxPoints) / 2);
    count = maxPoints;
  }
  if (!(count >= MIN_POINTS)) return null;
  const rate = (count - 1) / (times[from + count - 1] - times[from]);
  if (!Number.isFinite(rate) || rate <= 0) return null;

  // Missing samples become the mean so that they add nothing after its removal.
  let sum = 0;
  let finite = 0;
  for (let i = 0; i < count; i++) {
    const v = values[from + i];
    if (Number.isFinite(v)) { sum += v; finite += 1; }
  }
  if (finite < MIN_POINTS) return null;
  const mean = sum / finite;

  let size = 2;
  while (size < count) size *= 2;
  const input = new Float64Array(size);
  let windowSum = 0;
  for (let i = 0; i < count; i++) {
    const w = 0.5 - 0.5 * Math.cos((2 * Math.PI * i) / (count - 1));
    const v = values[from + i];
    input[i] = Number.isFinite(v) ? (v - mean) * w : 0;
    windowSum += w;
  }

  const fft = new FFT(size);
  const out = fft.createComplexArray();
  fft.realTransform(out, input);
  const bins = size / 2 + 1;
  const freqs = new Float64Array(bins);
  const amps = new Float64Array(bins);
  for (let k = 0; k < bins; k++) {
    freqs[k] = (k * rate) / size;
    // One-sided: the negative frequencies' half is added back, except at 0 and Nyquist.
    const scale = k === 0 || k === size / 2 ? 1 : 2;
    amps[k] = (scale * Math.hypot(out[2 * k], out[2 * k + 1])) / windowSum;
  }

  let peak = 1;
  for (let k = 2; k < bins; k++) if (amps[k] > amps[peak]) peak = k;
  const dominant = { freq: freqs[peak], amp: amps[peak] };
  if (peak > 0 && peak < bins - 1) {
    // Parabola through the peak bin and its neighbours.
    const a = amps[peak - 1], b = amps[peak], c = amps[peak + 1];
    const denom = a - 2 * b + c;
    if (denom < 0) {
      const delta = (0.5 * (a - c)) / denom;
      dominant.freq = ((peak + delta) * rate) / size;
      dominant.amp = b - 0.25 * (a - c) * delta;
    }
  }
  return { freqs, amps, dominant, rate, n: count };
}
