// The library's log lines: telling errors and warnings from ordinary lines, saying what an
// error means in words a student understands, and keeping a bounded history.

import { t } from './i18n.js';

const ERROR_PREFIX = '** ERROR => ';
const WARNING_PREFIX = '** WARNING => ';
const STAMP = /^(\d{4}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2}(?:\.\d{1,6})?) ([\s\S]*)$/;

export function classifyLogLine(line) {
  const text = String(line);
  if (text.startsWith(ERROR_PREFIX)) return { level: 'error', text: text.slice(ERROR_PREFIX.length), stamp: null };
  if (text.startsWith(WARNING_PREFIX)) return { level: 'warning', text: text.slice(WARNING_PREFIX.length), stamp: null };
  const m = STAMP.exec(text);
  if (m) return { level: 'info', text: m[2], stamp: m[1] };
  return { level: 'info', text, stamp: null };
}

// Message beginnings -> what the user should know or do (catalogue keys). The texts are the library's own,
// so a prefix match is exact enough and survives the detail appended to some of them.
const EXPLANATIONS = [
  ['HardwareAPI::set_fixed_config - Dongle not in CONNECTED mode', 'why.01'],
  ['HardwareAPI::set_fixed_config - Remote not connected', 'why.02'],
  ['HardwareAPI::start_data_acquisition - Remote not connected', 'why.03'],
  ['HardwareAPI::start_data_acquisition - Dongle not in CONNECTED mode', 'why.04'],
  ['HardwareAPI::start_data_acquisition - Remote not configured', 'why.05'],
  ['HardwareAPI::stop_data_acquisition - Remote not connected', 'why.06'],
  ['HardwareAPI::stop_data_acquisition - Dongle not in DATA mode', 'why.07'],
  ['HardwareAPI::remote_power_down - Remote not connected', 'why.08'],
  ['HardwareAPI::set_output_config - ', 'why.09'],
  ['HardwareAPI::reloadAcquisition - Dongle in DATA mode', 'why.10'],
  ['KorvexAPI::setUpNewAcquisition - Save or delete', 'why.11'],
  ['KorvexAPI::setFixedConfiguration - Remote already configured', 'why.12'],
  ['KorvexAPI::setUpNewAcquisition - Impossible', 'why.13'],
  ['KorvexAPI::setFixedConfiguration - Impossible', 'why.14'],
  ['KorvexAPI::start_data_acquisition - Remote not connected', 'why.15'],
  ['KorvexAPI::SaveAcquisition - Impossible', 'why.16'],
  ['KorvexAPI::deleteAcquisition - Impossible', 'why.17'],
  ['KorvexAPI::reloadAcquisition - Impossible', 'why.18'],
  ['KorvexAPI::saveAcquisition - No acquisition defined', 'why.19'],
  ['Code 21 not defined', 'why.20'],
  ['KorvexAPI::getSensorData - Sensor not defined', 'why.21'],
  ['KorvexAPI::getSensorData - Empty sample collection', 'why.22'],
  ['RawDataWriter::listenLoop - ', 'why.23'],
  ['FileSystem', 'why.24'],
  ['DataParser::listenLoop - SOP/EOP', 'why.25'],
  ['DataParser::listenLoop - Unknown command', 'why.26'],
  ['DataParser::dataFromRemote', 'why.27'],
  ['DataParser::findRemote - Remote', 'why.28'],
  ['DataParser::findRemote - No remote in pairing mode', 'why.29'],
];

export function explainLogLine(text) {
  for (const [prefix, key] of EXPLANATIONS) if (text.startsWith(prefix)) return t(key);
  return null;
}

// Bounded history of classified lines: memory stays flat however long the page runs.
export class LogStore {
  constructor(limit = 2000) {
    this.limit = limit;
    this.entries = [];
    this.counts = { error: 0, warning: 0, info: 0 };
    this.listeners = new Set();
    this.sequence = 0;
  }

  add(line, now = new Date()) {
    const entry = { ...classifyLogLine(line), id: ++this.sequence, received: now };
    entry.explanation = entry.level === 'info' ? null : explainLogLine(entry.text);
    this.entries.push(entry);
    if (this.entries.length > this.limit) this.entries.splice(0, this.entries.length - this.limit);
    this.counts[entry.level] += 1;
    for (const fn of this.listeners) fn(entry);
    return entry;
  }

  clear() {
    this.entries = [];
    this.counts = { error: 0, warning: 0, info: 0 };
    for (const fn of this.listeners) fn(null);
  }

  subscribe(fn) {
    this.listeners.add(fn);
    return () => this.listeners.delete(fn);
  }
}
