import { test } from 'node:test';
import assert from 'node:assert/strict';
import { DeviceClient, RequestError, checkRequest } from '../client/js/device.js';
import { FakeApp, tick } from './fake-app.js';

test('a reply resolves the request with its document and its numbers', async () => {
  const app = new FakeApp();
  const client = new DeviceClient(app);
  const p = client.request('korvex_getSensorData1', [1, 12, -10, -1, false, -1, 80]);
  assert.deepEqual(app.sent, [{ name: 'korvex_getSensorData1', args: [1, 12, -10, -1, false, -1, 80] }]);
  app.reply('korvex_getSensorData1', { remote: 1, sensorType: 12, sampleSize: 1, datalength: 2 }, [0.5, 1, 3, 4]);
  const { doc, data } = await p;
  assert.equal(doc.sensorType, 12);
  assert.deepEqual([...data], [0.5, 1, 3, 4]);
});

test('one request per name in flight: the next waits for the reply, other names do not', async () => {
  const app = new FakeApp();
  const client = new DeviceClient(app);
  const a = client.request('korvex_getHardwareState');
  const b = client.request('korvex_getHardwareState');
  const c = client.request('korvex_getAcquisitionStack');
  assert.deepEqual(app.sent.map((m) => m.name), ['korvex_getHardwareState', 'korvex_getAcquisitionStack']);
  assert.equal(client.pending('korvex_getHardwareState'), 2);
  app.reply('korvex_getHardwareState', { n: 1 });
  assert.equal((await a).doc.n, 1);
  assert.equal(app.sent.length, 3);
  app.reply('korvex_getHardwareState', { n: 2 });
  app.reply('korvex_getAcquisitionStack', { ID: 'x' });
  assert.equal((await b).doc.n, 2);
  assert.equal((await c).doc.ID, 'x');
  assert.equal(client.pending('korvex_getHardwareState'), 0);
  // Registered once per name: the host keeps the first registration anyway.
  assert.equal(app.callbacks.size, 2);
});

test('arguments the host would silently drop are refused before sending', async () => {
  const app = new FakeApp();
  const client = new DeviceClient(app);
  await assert.rejects(client.request('korvex_setFixedConfig', [1]), RequestError);
  await assert.rejects(client.request('korvex_setFixedConfig', [1, 2.5]), /argument 1/);
  await assert.rejects(client.request('korvex_exportData', [1, 8, null]), /argument 2/);
  await assert.rejects(client.request('korvex_nope'), /unknown request/);
  await assert.rejects(client.request('korvex_startData'), /no reply/);
  assert.throws(() => client.send('korvex_remotePowerOff', ['1']), /argument 0/);
  assert.throws(() => client.send('korvex_getHardwareState'), /has a reply/);
  assert.equal(app.sent.length, 0);
  assert.ok(checkRequest('korvex_getSensorData1', [1, 1, 0, -1, false]));
  assert.ok(checkRequest('korvex_acquisitionManagement', [0]));
  assert.throws(() => checkRequest('korvex_calibrationManagement', [3, [1, 256]]), /argument 1/);
  client.send('korvex_startData');
  assert.deepEqual(app.sent, [{ name: 'korvex_startData', args: [] }]);
});

test('a damaged reply rejects its own request and the next one still goes out', async () => {
  const app = new FakeApp();
  const errors = [];
  const client = new DeviceClient(app, { onError: (e) => errors.push(e) });
  const a = client.request('korvex_getSensorData1', [1, 1, 0, -1, false]);
  const b = client.request('korvex_getSensorData1', [1, 2, 0, -1, false]);
  app.reply('korvex_getSensorData1', { datalength: 1 }, '\x00\x00\x80'); // 3 bytes: not a float
  await assert.rejects(a, /not a whole number of floats/);
  assert.equal(errors.length, 1);
  assert.equal(app.sent.length, 2);
  app.reply('korvex_getSensorData1', '\x05\x00\x00\x00\x00');
  assert.deepEqual((await b).doc, {});
});

test('no reply in time: the request fails, a late reply is dropped, the queue moves on', async () => {
  const app = new FakeApp();
  const client = new DeviceClient(app, { timeoutMs: 200 });
  const a = client.request('korvex_getHardwareState');
  const b = client.request('korvex_getHardwareState');
  b.catch(() => {}); // awaited below; a slow machine must not see it as unhandled meanwhile
  await assert.rejects(a, /no reply to korvex_getHardwareState within 200 ms/);
  // The late answer to the first request is not taken as the answer to the second.
  app.reply('korvex_getHardwareState', { late: true });
  assert.equal(app.sent.length, 1);
  // The second request goes out after the pause that follows a timeout.
  for (let waited = 0; app.sent.length < 2 && waited < 5000; waited += 5)
    await new Promise((r) => setTimeout(r, 5));
  assert.equal(app.sent.length, 2);
  app.reply('korvex_getHardwareState', { fresh: true });
  assert.deepEqual((await b).doc, { fresh: true });
});

test('an exception from the host fails only that request', async () => {
  const app = new FakeApp();
  const client = new DeviceClient(app);
  let fail = true;
  const send = app.sendMessage.bind(app);
  app.sendMessage = (n, a) => { if (fail) { fail = false; throw new Error('Invalid method arguments'); } send(n, a); };
  const a = client.request('korvex_getAcquisitionStack');
  const b = client.request('korvex_getAcquisitionStack');
  await assert.rejects(a, /could not be sent/);
  await tick();
  app.reply('korvex_getAcquisitionStack', { ID: 'b' });
  assert.equal((await b).doc.ID, 'b');
});

test('closing releases the registrations and fails what is still waiting', async () => {
  const app = new FakeApp();
  const client = new DeviceClient(app);
  const a = client.request('korvex_getHardwareState');
  client.close();
  await assert.rejects(a, /closed/);
  assert.equal(app.callbacks.size, 0);
  assert.throws(() => new DeviceClient(undefined), /not available/);
});
