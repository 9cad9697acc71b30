// Curve fits of a selected time range of one column. Models linear in their parameters are
// solved in closed form; the others with Levenberg-Marquardt from automatic initial
// guesses. Fits run relative to the first time of the data (and with values scaled to about
// one) for conditioning; the result reports the parameters in the data's own time (the
// exponential models from the first time, see below), with standard uncertainties from s²·(JᵀJ)⁻¹, s² = SSR/(n − p).
//
// A result is a plain object (it crosses the worker boundary):
//   { model, params: [{ name, value, sigma }], r2, n, t0, converged: true }
//   { model, converged: false, reason: 'tooFewPoints' | 'noConvergence' | 'badData', message }

import { levenbergMarquardt } from '../lib/levenberg-marquardt/index.js';
import { Matrix, inverse } from '../lib/ml-matrix.js';
import { amplitudeSpectrum } from './spectrum.js';

const TWO_PI = 2 * Math.PI;
const ROUNDS = 20;
const ROUND_ITERATIONS = 5;

// Phase in (−π, π].
const wrapPhase = (phi) => phi - TWO_PI * Math.ceil((phi - Math.PI) / TWO_PI);

// Each model: value(p, u) and partials(p, u) with u the time from the model's origin.
// Fits measure time from the first time t0 of the data and `shift(p, dt)` re-expresses the
// parameters for time measured from t0 − dt (dt = t0 gives the data's own time). Models
// `inDataTime` fit in the data's own time (a shift would add a term to them); cooling, the
// exponential and the damped sine keep t0 in their equations (`fromFirstTime`): moved to
// the data's time zero their amplitude would grow as e^(t0/τ), past any sense for a range
// late in a run. `scaled` marks the parameters that carry the unit
// of the values; `linear` models are solved in closed form.
const models = {
  proportional: {
    params: ['a'], equation: 'y = a·t', linear: true, scaled: [true], inDataTime: true,
    value: ([a], u) => a * u,
    partials: (p, u) => [u],
  },
  linear: {
    params: ['a', 'b'], equation: 'y = a·t + b', linear: true, scaled: [true, true],
    value: ([a, b], u) => a * u + b,
    partials: (p, u) => [u, 1],
    shift: ([a, b], dt) => [a, b - a * dt],
  },
  quadratic: {
    params: ['a', 'b', 'c'], equation: 'y = a·t² + b·t + c', linear: true, scaled: [true, true, true],
    value: ([a, b, c], u) => (a * u + b) * u + c,
    partials: (p, u) => [u * u, u, 1],
    shift: ([a, b, c], dt) => [a, b - 2 * a * dt, (a * dt - b) * dt + c],
  },
  exponential: {
    params: ['a', 'b', 'c'], equation: 'y = a·e^(b·(t − t0)) + c', scaled: [true, false, true],
    fromFirstTime: true,
    value: ([a, b, c], u) => a * Math.exp(b * u) + c,
    partials: ([a, b], u) => { const e = Math.exp(b * u); return [e, a * u * e, 1]; },
    guess: (u, y) => { const g = threePointExponential(u, y); return g && [g.a, g.b, g.c]; },
  },
  power: {
    params: ['a', 'b'], equation: 'y = a·t^b', scaled: [true, false], inDataTime: true,
    value: ([a, b], u) => a * u ** b,
    partials: ([a, b], u) => { const v = u ** b; return [v, a * v * Math.log(u)]; },
    guess: powerGuess,
  },
  sine: {
    params: ['a', 'f', 'φ', 'c'], equation: 'y = a·sin(2π·f·t + φ) + c', scaled: [true, false, false, true],
    minPoints: 8,
    value: ([a, f, phi, c], u) => a * Math.sin(TWO_PI * f * u + phi) + c,
    partials: ([a, f, phi], u) => {
      const x = TWO_PI * f * u + phi;
      const ac = a * Math.cos(x);
      return [Math.sin(x), ac * TWO_PI * u, ac, 1];
    },
    shift: ([a, f, phi, c], dt) => [a, f, phi - TWO_PI * f * dt, c],
    guess: (u, y) => sineGuess(u, y, false),
    tidy: tidySine(0, 2),
  },
  dampedSine: {
    params: ['a', 'τ', 'f', 'φ', 'c'], equation: 'y = a·e^(−(t − t0)/τ)·sin(2π·f·(t − t0) + φ) + c',
    scaled: [true, false, false, false, true], minPoints: 8, fromFirstTime: true,
    value: ([a, tau, f, phi, c], u) => a * Math.exp(-u / tau) * Math.sin(TWO_PI * f * u + phi) + c,
    partials: ([a, tau, f, phi], u) => {
      const e = Math.exp(-u / tau);
      const x = TWO_PI * f * u + phi;
      const s = e * Math.sin(x);
      const ac = a * e * Math.cos(x);
      return [s, (a * s * u) / (tau * tau), ac * TWO_PI * u, ac, 1];
    },
    guess: (u, y) => sineGuess(u, y, true),
    tidy: tidySine(0, 3),
  },
  cooling: {
    params: ['Tenv', 'T0', 'k'], equation: 'y = Tenv + (T0 − Tenv)·e^(−k·(t − t0))',
    scaled: [true, true, false], fromFirstTime: true,
    value: ([env, start, k], u) => env + (start - env) * Math.exp(-k * u),
    partials: ([env, start, k], u) => {
      const e = Math.exp(-k * u);
      return [1 - e, e, -(start - env) * u * e];
    },
    guess: (u, y) => { const g = threePointExponential(u, y); return g && [g.c, g.a + g.c, -g.b]; },
  },
};

export const FIT_MODELS = Object.entries(models).map(([id, m]) => ({
  id, params: [...m.params], equation: m.equation,
}));

const messages = {
  tooFewPoints: (need) => `At least ${need} valid points are needed for this fit.`,
  noConvergence: 'The fit did not converge: the data do not determine all parameters of this model.',
  badTimes: 'A power law needs times greater than zero.',
  sameTime: 'All points have the same time.',
  constant: 'The values do not change over the selection.',
  badModel: 'Unknown fit model.',
};

const failure = (model, reason, message) => ({ model, converged: false, reason, message });

// Finite (t, y) pairs, evenly thinned to at most maxPoints (first and last kept).
function usablePoints(times, values, maxPoints) {
  const n = Math.min(times.length, values.length);
  const keep = [];
  for (let i = 0; i < n; i++) if (Number.isFinite(times[i]) && Number.isFinite(values[i])) keep.push(i);
  let picks = keep;
  const limit = Math.max(2, Math.floor(maxPoints) || 2);
  if (keep.length > limit) {
    const step = (keep.length - 1) / (limit - 1);
    picks = Array.from({ length: limit }, (_, i) => keep[Math.round(i * step)]);
  }
  return [Float64Array.from(picks, (i) => times[i]), Float64Array.from(picks, (i) => values[i])];
}

// JᵀJ and Jᵀr of a model at p over (u, y).
function normalEquations(model, p, u, y) {
  const k = p.length;
  const jtj = Array.from({ length: k }, () => new Float64Array(k));
  const jtr = new Float64Array(k);
  let ssr = 0;
  for (let i = 0; i < u.length; i++) {
    const g = model.partials(p, u[i]);
    const r = y[i] - model.value(p, u[i]);
    ssr += r * r;
    for (let a = 0; a < k; a++) {
      jtr[a] += g[a] * r;
      for (let b = 0; b <= a; b++) jtj[a][b] += g[a] * g[b];
    }
  }
  for (let a = 0; a < k; a++) for (let b = a + 1; b < k; b++) jtj[a][b] = jtj[b][a];
  return { jtj, jtr, ssr };
}

// Inverse of a symmetric positive definite matrix, scaled to unit diagonal first so that
// parameters of very different sizes do not spoil it; null when singular.
function invertSymmetric(m) {
  const k = m.length;
  const d = Array.from(m, (row, i) => Math.sqrt(row[i]));
  if (d.some((x) => !(x > 0) || !Number.isFinite(x))) return null;
  let inv;
  try {
    inv = inverse(new Matrix(Array.from(m, (row, i) => Array.from(row, (v, j) => v / (d[i] * d[j])))));
  } catch {
    return null;
  }
  const out = Array.from({ length: k }, (_, i) => Array.from({ length: k }, (_, j) => inv.get(i, j) / (d[i] * d[j])));
  for (let i = 0; i < k; i++) if (!(out[i][i] > 0) || !Number.isFinite(out[i][i])) return null;
  // A nearly singular matrix inverts to garbage rather than failing: check the product.
  for (let i = 0; i < k; i++) {
    for (let j = 0; j < k; j++) {
      let s = 0;
      for (let l = 0; l < k; l++) s += (m[i][l] / (d[i] * d[l])) * (out[l][j] * d[l] * d[j]);
      if (Math.abs(s - (i === j ? 1 : 0)) > 1e-6) return null;
    }
  }
  return out;
}

// Parameters and covariance for the data's own time: C' = G·C·Gᵀ with G the Jacobian of
// the shift, by central differences.
function shiftCovariance(shift, p, cov, dt) {
  const k = p.length;
  const g = Array.from({ length: k }, () => new Float64Array(k));
  for (let j = 0; j < k; j++) {
    const h = 1e-6 * (Math.abs(p[j]) || 1e-6);
    const up = p.slice(); up[j] += h;
    const down = p.slice(); down[j] -= h;
    const a = shift(up, dt), b = shift(down, dt);
    for (let i = 0; i < k; i++) g[i][j] = (a[i] - b[i]) / (2 * h);
  }
  return Array.from({ length: k }, (_, i) => Array.from({ length: k }, (_, j) => {
    let s = 0;
    for (let a = 0; a < k; a++) for (let b = 0; b < k; b++) s += g[i][a] * cov[a][b] * g[j][b];
    return s;
  }));
}

// Exponential y = a·e^(b·u) + c through three windows at the start, middle and end
// (the middle window centred half way, so that the ratio of the differences gives b).
function threePointExponential(u, y) {
  const n = u.length;
  const w = Math.max(1, Math.floor(n / 20));
  const span = u[n - 1] - u[0];
  const meanAt = (centre) => {
    // Window of w samples around the first time >= centre.
    let i = 0;
    while (i < n - 1 && u[i] < centre) i++;
    const from = Math.max(0, Math.min(n - w, i - (w >> 1)));
    let st = 0, sy = 0;
    for (let j = from; j < from + w; j++) { st += u[j]; sy += y[j]; }
    return [st / w, sy / w];
  };
  const [ua, ya] = meanAt(u[0]);
  const [ub0, yb0] = meanAt(u[n - 1]);
  const [um, ym] = meanAt((ua + ub0) / 2);
  const h = (ub0 - ua) / 2;
  let b = 1 / span;
  let c = ym;
  let a = ya - c;
  const r = (yb0 - ym) / (ym - ya);
  if (r > 0 && r !== 1 && Number.isFinite(r) && h > 0) {
    b = Math.log(r) / (um - ua || h);
    const denom = ya + yb0 - 2 * ym;
    if (denom !== 0) c = (ya * yb0 - ym * ym) / denom;
    a = (ya - c) / Math.exp(b * ua);
  } else {
    // No curvature to read: a gentle decay towards the end value.
    b = (yb0 > ya) === (r > 0) ? 1 / span : -1 / span;
    c = yb0;
    a = ya - c || (ya || 1);
  }
  if (![a, b, c].every(Number.isFinite)) return null;
  return { a, b, c };
}

// Power law through a straight line of log|y| against log t.
function powerGuess(t, y) {
  let n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, sum = 0;
  for (let i = 0; i < t.length; i++) {
    sum += y[i];
    if (!(t[i] > 0) || y[i] === 0) continue;
    const x = Math.log(t[i]);
    const v = Math.log(Math.abs(y[i]));
    n += 1; sx += x; sy += v; sxx += x * x; sxy += x * v;
  }
  const det = n * sxx - sx * sx;
  if (n < 2 || !(det > 0)) return null;
  const b = (n * sxy - sx * sy) / det;
  const a = Math.exp((sy - b * sx) / n) * (sum < 0 ? -1 : 1);
  return Number.isFinite(a) && Number.isFinite(b) ? [a, b] : null;
}

// Least squares of y against the given basis columns; coefficients or null.
function leastSquares(columns, y) {
  const k = columns.length;
  const m = Array.from({ length: k }, () => new Float64Array(k));
  const v = new Float64Array(k);
  for (let i = 0; i < y.length; i++) {
    for (let a = 0; a < k; a++) {
      v[a] += columns[a][i] * y[i];
      for (let b = 0; b <= a; b++) m[a][b] += columns[a][i] * columns[b][i];
    }
  }
  for (let a = 0; a < k; a++) for (let b = a + 1; b < k; b++) m[a][b] = m[b][a];
  const inv = invertSymmetric(m);
  if (!inv) return null;
  const coef = inv.map((row) => row.reduce((s, x, j) => s + x * v[j], 0));
  let ssr = 0;
  for (let i = 0; i < y.length; i++) {
    let f = 0;
    for (let a = 0; a < k; a++) f += coef[a] * columns[a][i];
    ssr += (y[i] - f) ** 2;
  }
  return { coef, ssr };
}

// Sine (optionally damped) guess: the frequency from the spectrum's peak, checked against
// nearby frequencies by the fit of a·sin + b·cos + c at each; the decay time from the
// ratio of the spread in the two halves; amplitude, phase and offset from that linear fit.
function sineGuess(u, y, damped) {
  const n = u.length;
  const spectrum = amplitudeSpectrum(u, y, u[0], u[n - 1]);
  if (!spectrum || !(spectrum.dominant.freq > 0)) return null;
  let tau = Infinity;
  if (damped) {
    const half = n >> 1;
    const spread = (from, to) => {
      let s = 0, s2 = 0;
      for (let i = from; i < to; i++) { s += y[i]; s2 += y[i] * y[i]; }
      const m = s / (to - from);
      return Math.sqrt(Math.max(0, s2 / (to - from) - m * m));
    };
    const ratio = spread(0, half) / spread(half, n);
    const span = u[n - 1] - u[0];
    tau = ratio > 1.01 ? (span / 2) / Math.log(ratio) : 10 * span;
  }
  const envelope = Float64Array.from(u, (x) => Math.exp(-x / tau));
  const ones = new Float64Array(n).fill(1);
  const trial = (f) => {
    const s = Float64Array.from(u, (x, i) => envelope[i] * Math.sin(TWO_PI * f * x));
    const c = Float64Array.from(u, (x, i) => envelope[i] * Math.cos(TWO_PI * f * x));
    const fit = leastSquares([s, c, ones], y);
    return fit && { f, ...fit };
  };
  let best = null;
  const f0 = spectrum.dominant.freq;
  for (let i = -8; i <= 8; i++) {
    const t = trial(f0 * (1 + i * 0.025));
    if (t && (!best || t.ssr < best.ssr)) best = t;
  }
  if (!best) return null;
  const [s, c, offset] = best.coef;
  const a = Math.hypot(s, c);
  const phi = Math.atan2(c, s);
  return damped ? [a, tau, best.f, phi, offset] : [a, best.f, phi, offset];
}

// Positive amplitude and a phase in (−π, π] (a·sin(x) = −a·sin(x + π)).
function tidySine(amp, phase) {
  return (p) => {
    const q = p.slice();
    if (q[amp] < 0) { q[amp] = -q[amp]; q[phase] += Math.PI; }
    q[phase] = wrapPhase(q[phase]);
    return q;
  };
}

function solveNonLinear(model, u, y) {
  const guess = model.guess(u, y);
  if (!guess || !guess.every(Number.isFinite)) return null;
  // Values scaled to about one: the damping of the method is absolute.
  let scale = 0;
  for (let i = 0; i < y.length; i++) scale = Math.max(scale, Math.abs(y[i]));
  if (!(scale > 0)) scale = 1;
  const ys = Float64Array.from(y, (v) => v / scale);
  const toScaled = (p) => p.map((v, i) => (model.scaled[i] ? v / scale : v));
  const fromScaled = (p) => p.map((v, i) => (model.scaled[i] ? v * scale : v));
  // The method stops only at an absolute error or its iteration limit, so it runs in short
  // rounds until a round no longer lowers the sum of squares noticeably.
  let p = toScaled(guess);
  let error = Infinity;
  for (let round = 0; round < ROUNDS; round++) {
    const fitted = levenbergMarquardt({ x: u, y: ys }, (q) => (x) => model.value(q, x), {
      initialValues: p,
      jacobianFunction: (q) => (x) => model.partials(q, x),
      maxIterations: ROUND_ITERATIONS,
      errorTolerance: 0,
    });
    const settled = !(error - fitted.parameterError > 1e-9 * fitted.parameterError);
    p = fitted.parameterValues;
    error = fitted.parameterError;
    if (settled) break;
  }
  p = fromScaled(p);
  return p.every(Number.isFinite) ? p : null;
}

// Fit of model `id` to (times, values); see the result shapes at the top.
export function fitModel(id, times, values, { maxPoints = 20000 } = {}) {
  const model = models[id];
  if (!model) return failure(id, 'badData', messages.badModel);
  const [t, y] = usablePoints(times ?? [], values ?? [], maxPoints);
  const k = model.params.length;
  const need = Math.max(k + 1, model.minPoints ?? 0);
  if (t.length < need) return failure(id, 'tooFewPoints', messages.tooFewPoints(need));
  if (id === 'power' && !(t[0] > 0)) return failure(id, 'badData', messages.badTimes);
  const t0 = t[0];
  if (!(t[t.length - 1] > t0)) return failure(id, 'badData', messages.sameTime);
  // A constant leaves the shape parameters of the non-linear models free.
  if (!model.linear && y.every((v) => v === y[0])) return failure(id, 'badData', messages.constant);

  const origin = model.inDataTime ? 0 : t0;
  const u = Float64Array.from(t, (x) => x - origin);
  let p;
  if (model.linear) {
    const { jtj, jtr } = normalEquations(model, new Array(k).fill(0), u, y);
    const inv = invertSymmetric(jtj);
    p = inv && inv.map((row) => row.reduce((s, x, j) => s + x * jtr[j], 0));
  } else {
    p = solveNonLinear(model, u, y);
  }
  if (!p) return failure(id, 'noConvergence', messages.noConvergence);

  const { jtj, ssr } = normalEquations(model, p, u, y);
  const inv = invertSymmetric(jtj);
  if (!inv) return failure(id, 'noConvergence', messages.noConvergence);
  const s2 = ssr / (t.length - k);
  let cov = inv.map((row) => row.map((v) => v * s2));
  if (model.shift && origin !== 0) {
    cov = shiftCovariance(model.shift, p, cov, origin);
    p = model.shift(p, origin);
  }
  if (model.tidy) p = model.tidy(p);
  if (!p.every(Number.isFinite) || !cov.every((row, i) => Number.isFinite(row[i]))) {
    return failure(id, 'noConvergence', messages.noConvergence);
  }

  let mean = 0;
  for (let i = 0; i < y.length; i++) mean += y[i];
  mean /= y.length;
  let sst = 0;
  for (let i = 0; i < y.length; i++) sst += (y[i] - mean) ** 2;
  return {
    model: id,
    params: model.params.map((name, i) => ({ name, value: p[i], sigma: Math.sqrt(Math.max(0, cov[i][i])) })),
    r2: sst > 0 ? 1 - ssr / sst : (ssr === 0 ? 1 : 0),
    n: t.length,
    t0,
    converged: true,
  };
}

// Value of a converged fit at time t (data time), for drawing.
export function evaluateFit(result, t) {
  const model = models[result?.model];
  if (!model || !result.converged) return NaN;
  const p = result.params.map((q) => q.value);
  return model.value(p, model.fromFirstTime ? t - result.t0 : t);
}

const superscripts = { '-': '⁻', 0: '⁰', 1: '¹', 2: '²', 3: '³', 4: '⁴', 5: '⁵', 6: '⁶', 7: '⁷', 8: '⁸', 9: '⁹' };

// A number with `digits` significant digits; very large or small ones as m·10ⁿ.
function formatNumber(v, digits) {
  if (v === 0) return '0';
  const mag = Math.abs(v);
  const sign = v < 0 ? '−' : '';
  if (mag >= 1e-3 && mag < 1e5) return sign + String(Number(mag.toPrecision(digits)));
  const [m, e] = mag.toExponential(digits - 1).split('e');
  return `${sign}${Number(m)}·10${[...String(Number(e))].map((c) => superscripts[c]).join('')}`;
}

// The fitted equation with its numbers, e.g. 'y = 1.234·t + 0.567'.
export function formatEquation(result, digits = 4) {
  if (!result?.converged || !models[result.model]) return '';
  const v = Object.fromEntries(result.params.map((q) => [q.name, q.value]));
  const num = (x) => formatNumber(x, digits);
  // ' + x' or ' − |x|' for a term added on.
  const plus = (x, text = num(Math.abs(x))) => (x < 0 ? ` − ${text}` : ` + ${text}`);
  const since = result.t0 ? `(t${plus(-result.t0)})` : 't'; // time from the first one
  switch (result.model) {
    case 'proportional': return `y = ${num(v.a)}·t`;
    case 'linear': return `y = ${num(v.a)}·t${plus(v.b)}`;
    case 'quadratic': return `y = ${num(v.a)}·t²${plus(v.b, `${num(Math.abs(v.b))}·t`)}${plus(v.c)}`;
    case 'exponential': return `y = ${num(v.a)}·e^(${num(v.b)}·${since})${plus(v.c)}`;
    case 'power': return `y = ${num(v.a)}·t^${v.b < 0 ? `(${num(v.b)})` : num(v.b)}`;
    case 'sine': return `y = ${num(v.a)}·sin(2π·${num(v.f)}·t${plus(v['φ'])})${plus(v.c)}`;
    case 'dampedSine':
      return `y = ${num(v.a)}·e^(${v['τ'] > 0 ? '−' : ''}${since}/${num(Math.abs(v['τ']))})·` +
        `sin(2π·${num(v.f)}·${since}${plus(v['φ'])})${plus(v.c)}`;
    case 'cooling':
      return `y = ${num(v.Tenv)}${plus(v.T0 - v.Tenv)}·e^(${num(-v.k)}·${since})`;
    default: return '';
  }
}
