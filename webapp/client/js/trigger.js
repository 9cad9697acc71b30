// The start trigger: the moment a watched value crosses a threshold, found between two
// samples by straight-line interpolation.
//
// A crossing needs the value on the other side first: rising means one sample below the
// threshold followed by one at or above it (falling: above, then at or below). A value that
// is already past the threshold when watching begins does not trigger until it has come
// back and crossed. Samples that are not finite numbers break the pair they are in.

export const DIRECTIONS = ['rise', 'fall'];
export const MAX_PRE_TRIGGER = 60; // seconds kept before the trigger moment, at most

// times, values: equal-length number arrays (run time in seconds, ascending).
// after: only crossings whose later sample is later than this time count (default: all).
// Returns the trigger moment in run time, or null when the value does not cross.
export function findTrigger(times, values, { threshold, direction = 'rise', after = -Infinity } = {}) {
  if (!Number.isFinite(threshold)) throw new RangeError('the threshold must be a number');
  if (!DIRECTIONS.includes(direction)) throw new RangeError(`direction must be 'rise' or 'fall', not ${direction}`);
  const n = Math.min(times?.length ?? 0, values?.length ?? 0);
  const sign = direction === 'rise' ? 1 : -1;
  for (let i = 1; i < n; i++) {
    const t0 = times[i - 1];
    const t1 = times[i];
    if (!(t1 > after)) continue;
    const v0 = sign * values[i - 1];
    const v1 = sign * values[i];
    const level = sign * threshold;
    if (!Number.isFinite(v0) || !Number.isFinite(v1) || !Number.isFinite(t0) || !Number.isFinite(t1)) continue;
    if (v0 < level && v1 >= level) {
      const at = t0 + ((level - v0) / (v1 - v0)) * (t1 - t0);
      return Math.max(at, after);
    }
  }
  return null;
}

// The trigger settings as the form gives them: checked, with a message key when not usable.
export function checkTriggerOptions({ threshold, preTrigger }) {
  const thr = Number(String(threshold ?? '').trim().replace(',', '.'));
  if (String(threshold ?? '').trim() === '' || !Number.isFinite(thr)) return { ok: false, error: 'trigger.badThreshold' };
  const pre = String(preTrigger ?? '').trim() === '' ? 0 : Number(String(preTrigger).trim().replace(',', '.'));
  if (!Number.isFinite(pre) || pre < 0 || pre > MAX_PRE_TRIGGER) return { ok: false, error: 'trigger.badPre' };
  return { ok: true, threshold: thr, preTrigger: pre };
}
