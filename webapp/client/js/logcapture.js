// The library's log lines: telling errors and warnings from ordinary lines, saying what an
// error means in words a student understands, and keeping a bounded history.

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

// Message beginnings -> what the user should know or do. The texts are the library's own,
// so a prefix match is exact enough and survives the detail appended to some of them.
const EXPLANATIONS = [
  ['HardwareAPI::set_fixed_config - Dongle not in CONNECTED mode', 'No configuration can be set: the dongle is not connected to a remote.'],
  ['HardwareAPI::set_fixed_config - Remote not connected', 'That remote is not connected. Switch it on and wait for its radio link.'],
  ['HardwareAPI::start_data_acquisition - Remote not connected', 'Recording cannot start: a remote of this run is not connected.'],
  ['HardwareAPI::start_data_acquisition - Dongle not in CONNECTED mode', 'Recording cannot start: the dongle has no connected remote, or is already recording.'],
  ['HardwareAPI::start_data_acquisition - Remote not configured', 'Recording cannot start: choose a configuration for each connected remote first.'],
  ['HardwareAPI::stop_data_acquisition - Remote not connected', 'Stopping failed: the remote is not connected.'],
  ['HardwareAPI::stop_data_acquisition - Dongle not in DATA mode', 'Nothing to stop: the kit is not recording.'],
  ['HardwareAPI::remote_power_down - Remote not connected', 'That remote is not connected, so it cannot be switched off.'],
  ['HardwareAPI::set_output_config - ', 'The sensor setting could not be changed right now.'],
  ['HardwareAPI::reloadAcquisition - Dongle in DATA mode', 'Stop recording before reloading a run.'],
  ['KorvexAPI::setUpNewAcquisition - Save or delete', 'Keep or discard the current run before starting a new one.'],
  ['KorvexAPI::setFixedConfiguration - Remote already configured', 'That remote already has a configuration in this run. Clear it, or keep or discard the run first.'],
  ['KorvexAPI::setUpNewAcquisition - Impossible', 'Stop recording before starting a new run.'],
  ['KorvexAPI::setFixedConfiguration - Impossible', 'Configurations can only be chosen while a remote is connected and the kit is not recording.'],
  ['KorvexAPI::start_data_acquisition - Remote not connected', 'That remote is not connected.'],
  ['KorvexAPI::SaveAcquisition - Impossible', 'Stop recording before keeping the run.'],
  ['KorvexAPI::deleteAcquisition - Impossible', 'Stop recording before discarding the run.'],
  ['KorvexAPI::reloadAcquisition - Impossible', 'Stop recording before reloading a run.'],
  ['KorvexAPI::saveAcquisition - No acquisition defined', 'There is no run to keep.'],
  ['Code 21 not defined', 'There is no run to discard: it is already empty.'],
  ['KorvexAPI::getSensorData - Sensor not defined', 'That sensor is not part of the current run.'],
  ['KorvexAPI::getSensorData - Empty sample collection', 'That sensor has no data yet.'],
  ['RawDataWriter::listenLoop - ', 'The recording could not be written to disk, so recording was stopped. Check the free space of the documents folder.'],
  ['FileSystem', 'A work file could not be opened, read or written.'],
  ['DataParser::listenLoop - SOP/EOP', 'The dongle sent a damaged message; it was ignored.'],
  ['DataParser::listenLoop - Unknown command', 'The dongle sent a message this program does not know; it was ignored.'],
  ['DataParser::dataFromRemote', 'Data arrived from a remote whose configuration is not known yet.'],
  ['DataParser::findRemote - Remote', 'That remote is already paired with this dongle.'],
  ['DataParser::findRemote - No remote in pairing mode', 'No remote in pairing mode was found. Put the remote in pairing mode and try again.'],
];

export function explainLogLine(text) {
  for (const [prefix, words] of EXPLANATIONS) if (text.startsWith(prefix)) return words;
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
