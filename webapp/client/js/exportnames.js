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

// A run's name as a file-name prefix: accents dropped, German letters spelled out, every
// other run of characters outside the plain set made one "_" (empty when nothing is left).
export function prefixFromRunName(name) {
  const spelled = String(name ?? '').replace(/ä/g, 'ae').replace(/ö/g, 'oe').replace(/ü/g, 'ue')
    .replace(/Ä/g, 'Ae').replace(/Ö/g, 'Oe').replace(/Ü/g, 'Ue').replace(/ß/g, 'ss');
  const plain = spelled.normalize('NFKD').replace(/[\u0300-\u036f]/g, '')
    .replace(/[^A-Za-z0-9_-]+/g, '_').replace(/^_+|_+$/g, '');
  return plain.slice(0, 40).replace(/_+$/, '');
}
