import { test } from 'node:test';
import assert from 'node:assert/strict';
import { DeviceClient } from '../client/js/device.js';
import { Store } from '../client/js/store.js';
import { EventHub } from '../client/js/events.js';
import { coalesce } from '../client/js/ui.js';
import { FakeApp, tick } from './fake-app.js';

const hardware = (mode) => ({ dongleID: 1, fwVersion: 1, dongleMode: mode, donglePlugged: 1, remote1: {}, remote2: {} });

test('a burst of events costs one request in flight and one more, not one per event', async () => {
  const app = new FakeApp();
  const store = new Store(new DeviceClient(app));
  const runs = [store.refreshHardware(), store.refreshHardware(), store.refreshHardware()];
  assert.equal(app.sent.length, 1);
  app.reply('korvex_getHardwareState', hardware(8));
  await tick();
  assert.equal(app.sent.length, 2);
  app.reply('korvex_getHardwareState', hardware(16));
  await Promise.all(runs);
  assert.equal(app.sent.length, 2);
  assert.equal(store.hardware.dongleMode, 16);
  // The report, not memory, says whether the kit records.
  assert.equal(store.recording, true);
});

test('a failed refresh shows the state as unknown instead of keeping the old one', async () => {
  const app = new FakeApp();
  const store = new Store(new DeviceClient(app));
  const first = store.refreshStack();
  app.reply('korvex_getAcquisitionStack', { ID: 'a', lastStartDate: 'not-a-date-time', remote1: { config: 45, sensors: [{ remote: 1, config: 45, sensorType: 12, sampleSize: 1 }] } });
  await first;
  assert.deepEqual(store.runRemotes(), [{ remote: 1, config: 45, sensors: [{ sensorType: 12, sampleSize: 1 }] }]);
  const second = store.refreshStack();
  app.reply('korvex_getAcquisitionStack', '\x09\x00\x00\x00'); // truncated document
  await second;
  assert.equal(store.stack, null);
  assert.match(store.stackError.message, /too short|declares/);
  assert.deepEqual(store.runRemotes(), []);
});

test('recording follows the dongle mode of each report, in both directions', async () => {
  const app = new FakeApp();
  const store = new Store(new DeviceClient(app));
  const changes = [];
  store.addEventListener('change', (e) => changes.push(e.detail));
  for (const mode of [16, 16, 8]) {
    const p = store.refreshHardware();
    app.reply('korvex_getHardwareState', hardware(mode));
    await p;
  }
  assert.equal(store.recording, false);
  assert.equal(store.recordingSince, null);
  assert.deepEqual(changes.filter((c) => c === 'recording').length, 2);
});

test('waiting for an event: resolves on it, or fails after its time', async () => {
  const hub = new EventHub();
  const p = hub.next('findRemoteResult', 1000);
  hub.dispatch({ name: 'hardwareStateChanged' });
  hub.dispatch({ name: 'findRemoteResult', args: 4779 });
  assert.equal((await p).args, 4779);
  await assert.rejects(hub.next('dataStarted', 10), /no dataStarted event within 10 ms/);
  // A throwing handler does not keep the others from their event.
  const seen = [];
  const warn = console.warn;
  console.warn = () => {};
  hub.on('x', () => { throw new Error('bad'); });
  hub.on('x', (e) => seen.push(e.name));
  hub.dispatch({ name: 'x' });
  console.warn = warn;
  assert.deepEqual(seen, ['x']);
});

test('coalesce survives a failing run', async () => {
  let n = 0;
  const run = coalesce(async () => { n += 1; if (n === 1) throw new Error('first fails'); });
  await assert.rejects(run(), /first fails/);
  await run();
  assert.equal(n, 2);
});
