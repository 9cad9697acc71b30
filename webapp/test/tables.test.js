import { test } from 'node:test';
import assert from 'node:assert/strict';
import { configurationTable, configurationSummary, FIXED_CONFIGS, SENSORS, dongleModeInWords, nominalRate, rateInWords } from '../client/js/sensors.js';
import { checkExportPrefix, exportFileName } from '../client/js/exportnames.js';
import { describeStoredRun, sortStoredRuns } from '../client/js/runinfo.js';
import { parseIsoBasic } from '../client/js/ui.js';

test('every fixed configuration is listed once, in order, with rates in words', () => {
  const table = configurationTable();
  const numbers = table.map((r) => r.number);
  assert.deepEqual(numbers, [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, ...Array.from({ length: 16 }, (_, i) => 32 + i)]);
  const row45 = table.find((r) => r.number === 45);
  assert.equal(row45.summary, 'High-gain input at 4,800 per second');
  const row3 = table.find((r) => r.number === 3);
  assert.equal(row3.summary, 'Accelerometer at 100 per second, Magnetometer at 80 per second, Gyroscope at 95 per second, High-gain input at 100 per second');
  assert.equal(table.find((r) => r.number === 38).sensors.length, 11);
  // 8 and 12 name the same sensors but differ in words, so a teacher can tell them apart.
  assert.notEqual(table.find((r) => r.number === 8).summary, table.find((r) => r.number === 12).summary);
  assert.equal(rateInWords(2400), '2,400 per second');
});

test('every sensor of every configuration has a name, a measured quantity and units', () => {
  for (const [config, sensors] of Object.entries(FIXED_CONFIGS)) {
    for (const [type, rate] of sensors) {
      assert.ok(SENSORS[type], `sensor ${type} of configuration ${config}`);
      assert.ok(SENSORS[type].axes.every((a) => a.label && a.unit !== undefined));
      assert.ok(rate > 0);
    }
  }
  assert.equal(nominalRate(47, 241), 400);
  assert.equal(nominalRate(47, 1), undefined);
  assert.equal(configurationSummary(0), 'none');
  assert.match(configurationSummary(11), /unknown/);
});

test('dongle modes in words', () => {
  assert.equal(dongleModeInWords(1), 'idle');
  assert.equal(dongleModeInWords(16), 'streaming data');
  assert.equal(dongleModeInWords(12), 'connected, paired');
  assert.match(dongleModeInWords(0), /unknown/);
});

test('export names stay plain file names', () => {
  assert.deepEqual(checkExportPrefix(''), { ok: true, prefix: '' });
  assert.deepEqual(checkExportPrefix(' lab-3_run1 '), { ok: true, prefix: 'lab-3_run1' });
  for (const bad of ['../x', 'a/b', 'a b', 'C:\\x', '.hidden', 'x'.repeat(61), 'é']) {
    assert.equal(checkExportPrefix(bad).ok, false, bad);
  }
  assert.equal(exportFileName('', 1, 8), '');
  assert.equal(exportFileName('lab', 2, 12), 'lab_remote2_HighGain');
});

test('stored runs: ISO start times, remotes in words, newest first', () => {
  const d = parseIsoBasic('20150302T140509.125000');
  assert.equal(d.getFullYear(), 2015);
  assert.equal(d.getMonth(), 2);
  assert.equal(d.getMilliseconds(), 125);
  assert.equal(parseIsoBasic('20150302T140509').getSeconds(), 9);
  assert.equal(parseIsoBasic('not-a-date-time'), null);
  const meta = (id, date, c1, c2) => ({ acquisitionID: id, dongleID: 1, fwVersion: 2, lastStartDate: date,
    remote1: { remoteID: 7, rfFwVersion: 1, sensorFwVersion: 2, fixedConfig: c1, sensorDataLen: {} },
    remote2: { remoteID: 0, rfFwVersion: 0, sensorFwVersion: 0, fixedConfig: c2, sensorDataLen: {} } });
  const r = describeStoredRun(meta('a', '20150302T140509', 45, 0));
  assert.equal(r.remotes.length, 1);
  assert.equal(r.remotes[0].words, 'remote 1: configuration 45 (High-gain input)');
  const sorted = sortStoredRuns([meta('old', '20150101T000000', 1, 0), meta('bad', 'junk', 1, 0),
    meta('new', '20160101T000000', 0, 2), { lastStartDate: '20170101T000000' }]);
  assert.deepEqual(sorted.map((x) => x.id), ['new', 'old', 'bad']);
});
