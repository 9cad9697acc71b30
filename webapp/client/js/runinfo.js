// Stored runs in words: used by the run list and the repository window.
import { t } from './i18n.js';
import { asArray } from './bsondoc.js';
import { FIXED_CONFIGS, sensorTitle } from './sensors.js';
import { parseIsoBasic } from './ui.js';

export function describeStoredRun(meta) {
  const remotes = [];
  for (const n of [1, 2]) {
    const r = meta?.[`remote${n}`];
    if (!r || !r.fixedConfig) continue;
    const sensors = (FIXED_CONFIGS[r.fixedConfig] ?? []).map(([type]) => sensorTitle(type));
    remotes.push({
      remote: n,
      config: r.fixedConfig,
      remoteID: r.remoteID,
      rfFwVersion: r.rfFwVersion,
      sensorFwVersion: r.sensorFwVersion,
      sensorDataLen: r.sensorDataLen ?? {},
      sensors,
      words: t(sensors.length ? 'run.remoteWords' : 'run.remoteWordsBare', { n, config: r.fixedConfig, sensors: sensors.join(', ') }),
    });
  }
  const started = parseIsoBasic(meta?.lastStartDate);
  return {
    id: typeof meta?.acquisitionID === 'string' ? meta.acquisitionID : '',
    started,
    dongleID: meta?.dongleID,
    fwVersion: meta?.fwVersion,
    remotes,
  };
}

// Newest first; runs without a readable date last, in list order.
export function sortStoredRuns(list) {
  return asArray(list).map(describeStoredRun).filter((r) => r.id)
    .map((r, i) => ({ r, i }))
    .sort((a, b) => (b.r.started?.getTime() ?? -Infinity) - (a.r.started?.getTime() ?? -Infinity) || a.i - b.i)
    .map(({ r }) => r);
}
