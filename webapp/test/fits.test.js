import { test } from 'node:test';
import assert from 'node:assert/strict';
import { FIT_MODELS, fitModel, evaluateFit, formatEquation } from '../client/js/fits.js';
import { fitInWorker } from '../client/js/fitclient.js';
import { rewriteImports, wrapCommonJs } from '../tools/copy-lib.js';

// Seeded normal noise (Park–Miller generator, Box–Muller transform).
function noise(seed) {
  let s = seed;
  const uniform = () => (s = (s * 16807) % 2147483647) / 2147483647;
  return () => Math.sqrt(-2 * Math.log(uniform())) * Math.cos(2 * Math.PI * uniform());
}

const wrap = (x) => Math.atan2(Math.sin(x), Math.cos(x));

// Each model with known parameters in the data's own time (which starts at 2 s); the
// exponential models and cooling count time from that first time.
const truths = {
  proportional: [[3], (t) => 3 * t],
  linear: [[3, -2], (t) => 3 * t - 2],
  quadratic: [[0.5, -2, 1], (t) => 0.5 * t * t - 2 * t + 1],
  exponential: [[4, -0.7, 1], (t) => 4 * Math.exp(-0.7 * (t - 2)) + 1],
  power: [[2, 1.5], (t) => 2 * t ** 1.5],
  sine: [[2, 1.3, 0.4, 0.5], (t) => 2 * Math.sin(2 * Math.PI * 1.3 * t + 0.4) + 0.5],
  dampedSine: [[2, 3, 1.3, -1, 0.5], (t) => 2 * Math.exp(-(t - 2) / 3) * Math.sin(2 * Math.PI * 1.3 * (t - 2) - 1) + 0.5],
  cooling: [[20, 80, 0.3], (t) => 20 + 60 * Math.exp(-0.3 * (t - 2))],
};

test('every model recovers known parameters within their uncertainties', () => {
  assert.deepEqual(FIT_MODELS.map((m) => m.id).sort(), Object.keys(truths).sort());
  const t = Float64Array.from({ length: 500 }, (_, i) => 2 + i * 0.01);
  FIT_MODELS.forEach(({ id, params }, k) => {
    const [truth, f] = truths[id];
    const gauss = noise(k + 11);
    const r = fitModel(id, t, t.map((x) => f(x) + 0.05 * gauss()));
    assert.equal(r.converged, true, `${id}: ${r.message}`);
    assert.equal(r.n, 500);
    assert.deepEqual(r.params.map((p) => p.name), params);
    r.params.forEach(({ name, value, sigma }, i) => {
      const miss = name === 'φ' ? wrap(value - truth[i]) : value - truth[i];
      assert.ok(Math.abs(miss) < 4 * sigma, `${id}.${name} = ${value} ± ${sigma}, true ${truth[i]}`);
      assert.ok(sigma > 0 && sigma < 0.05 * Math.max(1, Math.abs(truth[i])), `${id}.${name} σ ${sigma}`);
    });
    assert.ok(Math.abs(evaluateFit(r, 4.5) - f(4.5)) < 0.05, `${id} at 4.5 s`);
    assert.ok(r.r2 > 0.9 && r.r2 <= 1);
  });
});

test('a straight line matches ordinary least squares, its uncertainties and its equation', async () => {
  const gauss = noise(5);
  const t = Array.from({ length: 50 }, (_, i) => 1000 + i * 0.1);
  const y = t.map((x) => 0.25 * x - 240 + 0.3 * gauss());
  const n = t.length;
  const mt = t.reduce((a, b) => a + b) / n;
  const my = y.reduce((a, b) => a + b) / n;
  const sxx = t.reduce((s, x) => s + (x - mt) ** 2, 0);
  const slope = t.reduce((s, x, i) => s + (x - mt) * (y[i] - my), 0) / sxx;
  const intercept = my - slope * mt;
  const s2 = t.reduce((s, x, i) => s + (y[i] - slope * x - intercept) ** 2, 0) / (n - 2);
  const r = await fitInWorker('linear', t, y);
  const [a, b] = r.params;
  assert.ok(Math.abs(a.value - slope) < 1e-9 && Math.abs(b.value - intercept) < 1e-6);
  assert.ok(Math.abs(a.sigma / Math.sqrt(s2 / sxx) - 1) < 1e-6);
  assert.ok(Math.abs(b.sigma / Math.sqrt(s2 * (1 / n + (mt * mt) / sxx)) - 1) < 1e-6);

  const exact = fitModel('linear', [0, 1, 2], [0.567, 1.801, 3.035]);
  assert.equal(formatEquation(exact), 'y = 1.234·t + 0.567');
  assert.equal(formatEquation(fitModel('quadratic', [0, 1, 2, 3], [1, -1, -1, 1]), 3), 'y = 1·t² − 3·t + 1');
});

test('a decay late in a run is reported from its first time, with finite amplitude', () => {
  const t = Array.from({ length: 200 }, (_, i) => 600 + i * 0.025);
  const r = fitModel('exponential', t, t.map((x) => 3 * Math.exp(-0.5 * (x - 600)) + 1));
  assert.equal(r.converged, true);
  assert.ok(Math.abs(r.params[0].value - 3) < 1e-6 && Math.abs(r.params[1].value + 0.5) < 1e-6);
  assert.equal(formatEquation(r, 3), 'y = 3·e^(−0.5·(t − 600)) + 1');
  assert.ok(Math.abs(evaluateFit(r, 602) - (3 * Math.exp(-1) + 1)) < 1e-9);
});

test('too few points, bad data and degenerate fits fail with a reason', () => {
  const cases = [
    ['linear', [1, 2], [1, 2], 'tooFewPoints'],
    ['sine', [1, 2, 3, 4, 5, 6, 7], [0, 1, 0, -1, 0, 1, 0], 'tooFewPoints'],
    ['quadratic', [1, 2, NaN, 4], [1, NaN, 3, 4], 'tooFewPoints'],
    ['power', [0, 1, 2, 3], [0, 1, 4, 9], 'badData'],
    ['sine', [1, 2, 3, 4, 5, 6, 7, 8, 9], new Array(9).fill(1), 'badData'],
    ['linear', [1, 1, 1], [1, 2, 3], 'badData'],
    ['nonsense', [1, 2, 3], [1, 2, 3], 'badData'],
  ];
  for (const [model, t, y, reason] of cases) {
    const r = fitModel(model, t, y);
    assert.deepEqual([r.model, r.converged, r.reason], [model, false, reason]);
    assert.ok(r.message.length > 10);
  }
  // An exponential through a straight line: a and c trade off without end.
  const gauss = noise(3);
  const t = Array.from({ length: 300 }, (_, i) => i / 60);
  assert.equal(fitModel('exponential', t, t.map((x) => 2 * x + 1 + 0.01 * gauss())).reason, 'noConvergence');
});

test('100,000 points are thinned and fitted quickly', (t) => {
  const gauss = noise(9);
  const times = Float64Array.from({ length: 100000 }, (_, i) => i * 0.001);
  const values = times.map((x) => 2 * Math.exp(-x / 30) * Math.sin(2 * Math.PI * 0.8 * x + 1) + 0.1 + 0.05 * gauss());
  for (const model of ['dampedSine', 'linear']) {
    const start = performance.now();
    const r = fitModel(model, times, values);
    t.diagnostic(`${model}, 100000 points: ${(performance.now() - start).toFixed(0)} ms`);
    assert.deepEqual([r.converged, r.n], [true, 20000]);
  }
});

test('served library files: bare imports rewritten, CommonJS wrapped as a module', async () => {
  const src = "import { Matrix } from 'ml-matrix';\nimport step from \"./step.js\";\n" +
    "export { isAnyArray } from 'is-any-array';\n//# sourceMappingURL=step.js.map\n";
  assert.equal(rewriteImports(src, { 'ml-matrix': '../ml-matrix.js', 'is-any-array': '../is-any-array.js' }),
    "import { Matrix } from '../ml-matrix.js';\nimport step from \"./step.js\";\n" +
    "export { isAnyArray } from '../is-any-array.js';\n\n");
  const load = (code) => import(`data:text/javascript,${encodeURIComponent(code)}`);
  const cjs = await load(wrapCommonJs("'use strict';\nfunction F(n) { this.n = n; }\nmodule.exports = F;\n"));
  assert.equal(new cjs.default(3).n, 3);
  const umd = await load(wrapCommonJs("!function(t,e){'object'==typeof exports&&'undefined'!=typeof module?" +
    'e(exports):e(t.lib={})}(this,function(t){t.add=(a,b)=>a+b;t.default=7});', ['add', 'default', 'x-y']));
  assert.equal(umd.add(2, 3), 5);
  assert.equal(umd.default.default, 7);
});
