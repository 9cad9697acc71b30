// Curve fits in one shared module worker, so that a long fit does not stall the page.
// Without workers (node tests) the fit runs directly.

import { fitModel } from './fits.js';

let worker = null;
let nextId = 1;
const pending = new Map();

function failAll(message) {
  for (const [, { model, resolve }] of pending) {
    resolve({ model, converged: false, reason: 'noConvergence', message });
  }
  pending.clear();
}

function sharedWorker() {
  if (worker) return worker;
  worker = new Worker(new URL('./fitworker.js', import.meta.url), { type: 'module' });
  worker.onmessage = ({ data }) => {
    const request = pending.get(data?.id);
    if (!request) return;
    pending.delete(data.id);
    request.resolve(data.result);
  };
  // A worker that fails to load or dies answers every open request with a failure; the
  // next request starts a new one.
  worker.onerror = (event) => {
    event.preventDefault?.();
    worker.terminate();
    worker = null;
    failAll(`The fit could not run: ${event.message ?? 'worker error'}`);
  };
  return worker;
}

// Promise of fitModel(model, times, values, opts) computed in the worker. The arrays are
// copied and the copies transferred, so the caller's arrays stay usable.
export function fitInWorker(model, times, values, opts = {}) {
  if (typeof Worker === 'undefined') {
    try {
      return Promise.resolve(fitModel(model, times, values, opts));
    } catch (e) {
      return Promise.resolve({ model, converged: false, reason: 'noConvergence', message: String(e?.message ?? e) });
    }
  }
  const id = nextId++;
  const t = Float64Array.from(times ?? []);
  const v = Float64Array.from(values ?? []);
  return new Promise((resolve) => {
    pending.set(id, { model, resolve });
    sharedWorker().postMessage({ id, model, times: t, values: v, maxPoints: opts.maxPoints },
      [t.buffer, v.buffer]);
  });
}
