// Module worker running curve fits off the page's thread.
// In: { id, model, times, values, maxPoints }   Out: { id, result } (see fits.js).

import { fitModel } from './fits.js';

self.onmessage = ({ data }) => {
  const { id, model, times, values, maxPoints } = data ?? {};
  let result;
  try {
    result = fitModel(model, times, values, maxPoints ? { maxPoints } : {});
  } catch (e) {
    result = { model, converged: false, reason: 'noConvergence', message: String(e?.message ?? e) };
  }
  self.postMessage({ id, result });
};
