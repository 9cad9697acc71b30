// File names for CSV exports. The library appends ".csv" and writes below its export
// folder; names are kept to plain characters so that no name can reach another folder.
import { sensorInfo } from './sensors.js';

const SAFE = /^[A-Za-z0-9_-]{1,60}$/;

export function checkExportPrefix(prefix) {
  const p = (prefix ?? '').trim();
  if (p === '') return { ok: true, prefix: '' };
  if (!SAFE.test(p)) return { ok: false, error: 'export.badName' };
  return { ok: true, prefix: p };
}

// Empty prefix: the library's default name (run identifier, remote, sensor type).
export function exportFileName(prefix, remote, sensorType) {
  if (!prefix) return '';
  return `${prefix}_remote${remote}_${sensorInfo(sensorType).name}`;
}
