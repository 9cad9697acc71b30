import { test } from 'node:test';
import assert from 'node:assert/strict';
import { amplitudeSpectrum } from '../client/js/spectrum.js';

const tone = (n, rate, freq, amp, offset = 0, start = 0) => {
  const t = Float64Array.from({ length: n }, (_, i) => start + i / rate);
  return [t, Float32Array.from(t, (x) => offset + amp * Math.sin(2 * Math.PI * freq * x + 0.7))];
};

test('a 440 Hz tone sampled at 4800 Hz: frequency, amplitude and axis', () => {
  const [t, v] = tone(4800, 4800, 440, 1.5, 2, 10);
  for (const [t0, t1, n] of [[10, 11, 4800], [10.2, 10.3, 481]]) {
    const s = amplitudeSpectrum(t, v, t0, t1);
    assert.equal(s.n, n);
    assert.ok(Math.abs(s.rate - 4800) < 0.01, `rate ${s.rate}`);
    assert.ok(Math.abs(s.dominant.freq - 440) < 1, `frequency ${s.dominant.freq}`);
    assert.ok(Math.abs(s.dominant.amp - 1.5) < 0.03 * 1.5, `amplitude ${s.dominant.amp}`);
    // Bins run from 0 to half the rate; the offset is removed.
    assert.equal(s.freqs[0], 0);
    assert.ok(Math.abs(s.freqs.at(-1) - 2400) < 0.01);
    assert.equal(s.freqs.length, s.amps.length);
    assert.ok(s.amps[0] < 0.01, `DC ${s.amps[0]}`);
  }
});

test('too few samples or a range without data give no spectrum', () => {
  const [t, v] = tone(100, 100, 5, 1);
  assert.equal(amplitudeSpectrum(t, v, 0, 0.065), null); // 7 samples
  assert.equal(amplitudeSpectrum(t, v, 5, 6), null);
  assert.ok(amplitudeSpectrum(t, v, 0, 0.075));
  // Above maxPoints the middle of the range is analysed.
  assert.equal(amplitudeSpectrum(t, v, 0, 1, { maxPoints: 64 }).n, 64);
});
