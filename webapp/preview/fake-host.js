// A simulated host and kit for previewing the page: defines `app` like the host does and
// answers the device requests with BSON documents and number buffers. Data are smooth
// waves, so that graphs, zooming and exports can be looked at without hardware.
(function () {
  'use strict';
  var BSON = null;
  var queue = [];
  import('/client/lib/bson.js').then(function (m) { BSON = m; queue.splice(0).forEach(function (f) { f(); }); });
  // Replies come back as separate tasks, as the host's do (a message channel avoids the
  // 4 ms clamp of nested timers).
  var channel = new MessageChannel();
  var tasks = [];
  channel.port1.onmessage = function () { var f = tasks.shift(); if (f) f(); };
  function later(f) {
    if (!BSON) { queue.push(f); return; }
    tasks.push(f);
    channel.port2.postMessage(0);
  }

  var CONFIGS = {
    38: [[2, 80], [1, 100], [9, 100], [8, 100], [3, 95], [7, 100], [11, 100], [12, 100], [21, 100], [13, 100], [4, 100]],
    4: [[1, 200], [9, 100], [8, 200]], 42: [[8, 800], [1, 800]],
    45: [[12, 4800]], 3: [[1, 100], [2, 80], [3, 95], [12, 100]], 13: [[13, 100]], 47: [[241, 400]], 5: [[1, 100], [3, 95], [8, 100]], 6: [[26, 50], [4, 100], [11, 50], [7, 400]], 2: [[1, 400]],
  };
  var AXES = { 1: 3, 2: 3, 3: 3, 4: 2, 9: 3, 10: 3, 241: 6 };
  var callbacks = {};
  var hw = { dongleID: 0x4a21c3, fwVersion: 263, dongleMode: 8, donglePlugged: 1 };
  var slots = {
    1: { remoteID: 0x0012ab, rfStatus: 1, pairStatus: 1, fixedConfig: 0, configured: false, batteryVoltage: 3.92 },
    2: { remoteID: 0x0031f0, rfStatus: 1, pairStatus: 1, fixedConfig: 0, configured: false, batteryVoltage: 3.41 },
  };
  var params = new URLSearchParams(location.search);
  var run = newRun();
  var stored = [];
  var startedAt = 0;
  var recordedSeconds = 0;


  // Radio losses for the preview: with ?drop=N remote 1 loses 3 frames every N seconds and
  // remote 2 one frame every 2N seconds (at N x k + 0.37 s of frame time).
  var dropEvery = Number(params.get('drop') || 0);
  function lostEvents(remote, frameTime) {
    if (!dropEvery) return [];
    var every = remote === 1 ? dropEvery : 2 * dropEvery, size = remote === 1 ? 3 : 1, out = [];
    for (var t = every + 0.37; t < frameTime; t += every) out.push({ at: t, lost: size });
    return out;
  }
  function framesAndPackets(remote) {
    if (run.lastStartDate === 'not-a-date-time') return { frames: 0, packets: 0 };
    var frames = Math.floor(elapsed() * 100);
    var lost = lostEvents(remote, frames * 0.01).reduce(function (a, e) { return a + e.lost; }, 0);
    return { frames: frames, packets: Math.max(0, frames - lost) };
  }
  // Accelerometer orientation for the calibration guide: korvexFake.setFace('z+') lays the
  // remote on a face; raw counts follow offsets (-228.5, -109, -169.5) and ~840 counts per g.
  var face = null;
  var forceLoad = null; // kg hanging from the force probe (null: a slow wave)
  var tare = { 1: 0, 2: 0 };
  var calRecords = [];
  window.korvexFake = {
    setFace: function (f) { face = f; },
    setLoad: function (kg) { forceLoad = kg; },
    event: function (name, args) { event(name, args); },
  };
  var ACC_OFF = [-228.5, -109, -169.5], ACC_SCALE = [838.6, 842.3, 844.1];
  function accelRaw(axis, t) {
    var g = 0;
    if (face) g = face[0] === 'xyz'[axis] ? (face[1] === '+' ? 1 : -1) : 0;
    else g = Math.sin(2 * Math.PI * (0.7 + 0.3 * axis) * t + axis) * 0.8;
    return Math.round(ACC_OFF[axis] + ACC_SCALE[axis] * (g + 0.004 * Math.sin(40 * t + axis)) + 3 * axis);
  }
  function forceRaw(t) {
    // ~118 counts per newton, pulling lowers the count; a slow wave when nothing is set.
    var newtons = forceLoad !== null ? forceLoad * 9.81 : 2 + 1.5 * Math.sin(2 * Math.PI * 0.4 * t);
    return Math.round(2100 - 118 * newtons + 2 * Math.sin(30 * t));
  }

  function uuid() { return 'xxxxxxxx-xxxx-4xxx-8xxx-xxxxxxxxxxxx'.replace(/x/g, function () { return (Math.random() * 16 | 0).toString(16); }); }
  function iso(d) {
    function p(n, w) { return String(n).padStart(w || 2, '0'); }
    return d.getFullYear() + p(d.getMonth() + 1) + p(d.getDate()) + 'T' + p(d.getHours()) + p(d.getMinutes()) + p(d.getSeconds());
  }
  function newRun() { return { ID: uuid(), lastStartDate: 'not-a-date-time', remotes: {}, fromDB: false }; }
  function recording() { return (hw.dongleMode & 16) !== 0; }
  function elapsed() { return recording() ? recordedSeconds + (performance.now() - startedAt) / 1000 : recordedSeconds; }
  function event(name, args) {
    setTimeout(function () {
      var e = args === undefined ? { name: name } : { name: name, args: args };
      for (var w of [window].concat(window.__korvexPopups || [])) { try { w.KorvexEventHandler.sendEvent(e); } catch (err) { /* closed */ } }
    }, 5);
  }
  function log(text) {
    var d = new Date();
    console.log(d.getFullYear() + '-' + d.toLocaleString('en', { month: 'short' }) + '-' + String(d.getDate()).padStart(2, '0') + ' ' + d.toTimeString().slice(0, 8) + '.000000 ' + text);
  }
  function error(text) { console.log('** ERROR => ' + text); }

  function reply(name, doc, floats) {
    later(function () {
      var fn = callbacks[name];
      if (!fn) return;
      var bytes = BSON.serialize(doc);
      var s = '';
      for (var i = 0; i < bytes.length; i++) s += String.fromCharCode(bytes[i]);
      var args = [name, s];
      if (floats) {
        var b = new Uint8Array(floats.buffer);
        var parts = [];
        for (var j = 0; j < b.length; j += 8192) parts.push(String.fromCharCode.apply(null, b.subarray(j, j + 8192)));
        args.push(parts.join(''));
      }
      fn.apply(null, args);
    });
  }

  function hardwareDoc() {
    var d = { dongleID: hw.dongleID, fwVersion: hw.fwVersion, dongleMode: hw.dongleMode, donglePlugged: hw.donglePlugged };
    [1, 2].forEach(function (n) {
      var s = slots[n];
      d['remote' + n] = { remoteID: s.remoteID, rfStatus: s.rfStatus, pairStatus: s.pairStatus, fixedConfig: run.remotes[n] || 0,
        configured: !!run.remotes[n], batteryVoltage: new BSON.Double(s.batteryVoltage), outputConfig: [] };
    });
    return d;
  }
  function stackDoc() {
    var d = { ID: run.ID };
    if (run.fromDB) d.fromDB = true;
    d.lastStartDate = run.lastStartDate;
    [1, 2].forEach(function (n) {
      var c = run.remotes[n];
      if (!c) return;
      d['remote' + n] = { config: c, sensors: CONFIGS[c].slice().sort(function (a, b) { return a[0] - b[0]; }).map(function (s) {
        var fp = framesAndPackets(n);
        return { remote: n, config: c, sensorType: s[0], sampleSize: AXES[s[0]] || 1, frames: fp.frames, packets: fp.packets };
      }) };
    });
    return d;
  }
  function metaDoc() {
    var d = { acquisitionID: run.ID, dongleID: hw.dongleID, fwVersion: hw.fwVersion, lastStartDate: run.lastStartDate };
    [1, 2].forEach(function (n) {
      d['remote' + n] = { remoteID: slots[n].remoteID, rfFwVersion: 12, sensorFwVersion: 7, fixedConfig: run.remotes[n] || 0, sensorDataLen: {} };
    });
    return d;
  }
  function rawValue(type, axis, t, remote) {
    if (type === 1) return accelRaw(axis, t);
    if (type === 8) return forceRaw(t);
    return Math.round(value(type, axis, t, remote) * 500 + 2047);
  }
  function value(type, axis, t, remote) {
    if (type === 1) return (accelRaw(axis, t) - ACC_OFF[axis]) / ACC_SCALE[axis];
    if (type === 8) return (forceRaw(t) - 2047 - (tare[remote || 1] || 0)) / -118;
    if (type === 13) return axis + ((Math.floor(t * 2 + axis) % 2) ? 0.5 : 0);
    if (type === 4) return axis === 0 ? 101.3 + 0.05 * Math.sin(t) : 21.5 + 0.2 * Math.sin(t / 5);
    if (type === 11) return 3.9 - t * 0.0005;
    var f = type === 12 ? 5 : 0.7 + 0.3 * axis;
    return Math.sin(2 * Math.PI * f * t + axis) + 0.15 * Math.sin(2 * Math.PI * 11 * t);
  }
  function sensorData(args) {
    var remote = args[0], type = args[1], start = args[2], end = args[3], raw = !!args[4], axis = args[5] || 0, rate = args[6] || 0;
    var cfg = run.remotes[remote];
    var spec = cfg && CONFIGS[cfg].find(function (s) { return s[0] === type; });
    if (!spec) { log('KorvexAPI::getSensorData - The sensor ' + type + ' for remote ' + remote + ' is not defined (NULL)'); return reply('korvex_getSensorData1', {}); }
    var last = elapsed();
    if (end < 0) end = last;
    if (start < 0) start = Math.max(0, end + start);
    end = Math.min(end, last);
    var G = axis === -1 ? (AXES[type] || 1) : 1;
    var step = rate > 0 ? 1 / rate : 1 / spec[1];
    var times = [];
    if (end > start) for (var t = Math.max(step, Math.ceil(start / step) * step); t <= end + 1e-9; t += step) times.push(t);
    var E = times.length;
    var out = new Float32Array((raw ? 2 * G + 1 : G + 1) * E);
    var min = [], max = [];
    for (var j = 0; j < G; j++) { min.push(3.4028234663852886e38); max.push(-3.4028234663852886e38); }
    for (var i = 0; i < E; i++) {
      out[i] = times[i];
      for (var k = 0; k < G; k++) {
        var v = value(type, axis === -1 ? k : axis, times[i], remote);
        out[(k + 1) * E + i] = v;
        if (raw) out[(G + k + 1) * E + i] = rawValue(type, axis === -1 ? k : axis, times[i], remote);
        min[k] = Math.min(min[k], v); max[k] = Math.max(max[k], v);
      }
    }
    reply('korvex_getSensorData1', { remote: remote, sensorType: type, sampleSize: G, sampleRate: rate > 0 ? rate : spec[1], datalength: E,
      rawdata: raw, boundingBox: { max: max.map(function (x) { return new BSON.Double(x); }), min: min.map(function (x) { return new BSON.Double(x); }) } }, out);
  }


  // Two sensors, frame averages: one point per received 10 ms frame (lost frames missing),
  // stamped at frame time.
  function sensorData2(args) {
    var remote = args[0], t1 = args[1], t2 = args[2], start = args[3], end = args[4];
    var cfg = run.remotes[remote];
    var has = function (t) { return cfg && CONFIGS[cfg].some(function (s) { return s[0] === t; }); };
    var missing = [t1, t2].filter(function (t) { return !has(t); });
    if (missing.length) {
      missing.forEach(function (t) { error('KorvexAPI::getSensorData - Sensor not defined for the this acquisition ' + remote + ' ' + t); });
      return reply('korvex_getSensorData2', {});
    }
    var fp = framesAndPackets(remote);
    var last = fp.frames * 0.01;
    var whole = start === 0 && end === -1;
    if (!whole) { if (end < 0) end = last; if (start < 0) start = Math.max(0, end + start); }
    else { start = 0; end = last; }
    var lost = lostEvents(remote, last);
    var times = [];
    for (var f = 1; f <= fp.frames; f++) {
      var ft = f * 0.01;
      if (ft < start - 1e-9 || ft > end + 1e-9) continue;
      if (lost.some(function (e) { return ft >= e.at && ft < e.at + e.lost * 0.01 - 1e-9; })) continue;
      times.push(ft);
    }
    var A = AXES[t1] || 1, B = AXES[t2] || 1, C = times.length;
    var out = new Float32Array(C * (A + B + 1));
    for (var i = 0; i < C; i++) {
      out[i] = times[i];
      for (var a = 0; a < A; a++) out[(1 + a) * C + i] = value(t1, a, times[i], remote);
      for (var b = 0; b < B; b++) out[(1 + A + b) * C + i] = value(t2, b, times[i], remote);
    }
    reply('korvex_getSensorData2', { remote: remote, sampleRate: 100, sensorType: [new BSON.Double(t1), new BSON.Double(t2)],
      sampleSize: [new BSON.Double(A), new BSON.Double(B)], datalength: C }, C ? out : (fp.frames ? new Float32Array(0) : null));
  }
  function calibration(a) {
    var cmd = a[0];
    if (cmd === 0) return reply('korvex_calibrationManagement', { calibrationList: calRecords });
    if (cmd !== 2 && cmd !== 3) { log('KorvexAPI::calibrationManagement - Command not supported'); return reply('korvex_calibrationManagement', {}); }
    var doc;
    try { doc = BSON.deserialize(Uint8Array.from(a[1] || [])); } catch (err) { doc = {}; }
    var same = function (r) { return r.remoteID === doc.remoteID && r.sensor === doc.sensor; };
    var had = calRecords.some(same);
    calRecords = calRecords.filter(function (r) { return !same(r); });
    if (cmd === 3) calRecords.push(doc);
    log('KorvexAPI::calibrationManagement - ' + (cmd === 3 ? 'Save' : 'Delete') + ' - remoteID ' + doc.remoteID + ' - sensor ' + doc.sensor);
    var ok = cmd === 3 || had;
    reply('korvex_calibrationManagement', { success: ok, error: ok ? '' : "FileSystem::deleteFile - file doesn't exist" });
    if (ok) [1, 2].forEach(function (n) {
      if (slots[n].remoteID === doc.remoteID && run.remotes[n] && CONFIGS[run.remotes[n]].some(function (s) { return s[0] === doc.sensor; })) {
        event('sensorRecalibrated', { remote: n, sensorType: doc.sensor });
      }
    });
  }

  var handlers = {
    korvex_getHardwareState: function () { reply('korvex_getHardwareState', hardwareDoc()); },
    korvex_getAcquisitionStack: function () { reply('korvex_getAcquisitionStack', stackDoc()); },
    korvex_getSensorData1: sensorData,
    korvex_getSensorData2: sensorData2,
    korvex_calibrationManagement: calibration,
    korvex_resetSensorOffset: function (a) {
      log('KorvexAPI::resetSensorOffset - remote ' + a[0] + ' - sensor type ' + a[1]);
      if (a[1] === 8) tare[a[0]] = forceRaw(elapsed()) - 2047;
      reply('korvex_resetSensorOffset', {});
    },
    korvex_recalibrateSensor: function (a) {
      log('KorvexAPI::calibrateSensor - remote ' + a[0] + ' - sensor type ' + a[1]);
      reply('korvex_recalibrateSensor', {});
      event('sensorRecalibrated', { remote: a[0], sensorType: a[1] });
    },
    korvex_setFixedConfig: function (a) {
      if (recording()) { error('KorvexAPI::setFixedConfiguration - Impossible to perform that operation, the dongle is not in CONNECTED mode'); return reply('korvex_setFixedConfig', { success: false }); }
      if (a[1] && !CONFIGS[a[1]]) CONFIGS[a[1]] = [[1, 100]];
      if (a[1]) run.remotes[a[0]] = a[1]; else delete run.remotes[a[0]];
      reply('korvex_setFixedConfig', { success: true });
      event('acquisitionStackChanged'); event('hardwareStateChanged');
    },
    korvex_startData: function () {
      if (!Object.keys(run.remotes).length) return error('HardwareAPI::start_data_acquisition - Remote not configured');
      setTimeout(function () {
        hw.dongleMode = 16; startedAt = performance.now(); run.lastStartDate = iso(new Date());
        event('hardwareStateChanged'); event('acquisitionStackChanged'); event('dataStarted');
        if (!stored.some(function (m) { return m.acquisitionID === run.ID; })) stored.push(metaDoc());
      }, 80);
    },
    korvex_stopData: function () {
      if (!recording()) return error('HardwareAPI::stop_data_acquisition - Dongle not in DATA mode');
      recordedSeconds = elapsed(); hw.dongleMode = 8;
      setTimeout(function () { event('hardwareStateChanged'); event('dataStopped'); }, 80);
    },
    korvex_stackAcquisition: function () { run = newRun(); recordedSeconds = 0; event('hardwareStateChanged'); event('acquisitionStackChanged'); },
    korvex_deleteAcquisition: function () {
      var empty = !Object.keys(run.remotes).length && run.lastStartDate === 'not-a-date-time';
      if (empty) error('Code 21 not defined');
      else { run = newRun(); recordedSeconds = 0; event('hardwareStateChanged'); event('acquisitionStackChanged'); }
      reply('korvex_deleteAcquisition', { success: !empty });
    },
    korvex_acquisitionManagement: function (a) {
      if (a[0] === 0) return reply('korvex_acquisitionManagement', { acquisitionList: stored });
      if (a[0] === 2) { stored = stored.filter(function (m) { return m.acquisitionID !== a[1]; }); return reply('korvex_acquisitionManagement', { acquisitionList: stored }); }
      if (a[0] === 1) {
        var m = stored.find(function (x) { return x.acquisitionID === a[1]; });
        reply('korvex_acquisitionManagement', {});
        if (!m) return error('FileSystem - Cannot open file');
        run = { ID: m.acquisitionID, lastStartDate: m.lastStartDate, remotes: {}, fromDB: true };
        [1, 2].forEach(function (n) { if (m['remote' + n].fixedConfig) run.remotes[n] = m['remote' + n].fixedConfig; });
        recordedSeconds = 42;
        event('acquisitionStackChanged'); event('hardwareStateChanged');
        return;
      }
      reply('korvex_acquisitionManagement', {});
    },
    korvex_exportData: function (a) {
      var name = a[2] || (run.ID + '_' + a[0] + '_' + a[1]);
      reply('korvex_exportData', { success: true, path: '/home/teacher/Documents/Korvex-WorkFiles/export/' + name + '.csv' });
    },
    korvex_sendCommand: function (a) { if (a[0] === 0x13) setTimeout(function () { event('findRemoteResult', 0x00abcd); }, 300); },
    korvex_remotePowerOff: function (a) { slots[a[0]].rfStatus = 0; event('hardwareStateChanged'); },
    korvex_pairRemote: function (a) { slots[a[0]].remoteID = a[2]; slots[a[0]].pairStatus = 1; event('hardwareStateChanged'); },
  };

  window.app = {
    sendMessage: function (name, args) {
      if (typeof name !== 'string' || !name) throw new Error('Invalid method arguments');
      var h = handlers[name];
      if (h) later(function () { h(Array.isArray(args) ? args : []); });
    },
    setMessageCallback: function (name, fn) {
      if (typeof name !== 'string' || typeof fn !== 'function') throw new Error('Invalid method arguments');
      if (!callbacks[name]) callbacks[name] = fn;
    },
    removeMessageCallback: function (name) { var had = !!callbacks[name]; delete callbacks[name]; return had; },
  };
  // Scenario switches for screenshots: ?config=38,45&record=1&stored=3
  later(function () {
    (params.get('config') || '').split(',').filter(Boolean).forEach(function (c, i) { run.remotes[i + 1] = Number(c); });
    for (var i = 0; i < Number(params.get('stored') || 0); i++) {
      var keep = run; run = { ID: uuid(), lastStartDate: iso(new Date(Date.now() - (i + 1) * 3600e3)), remotes: { 1: 38, 2: 45 } };
      stored.push(metaDoc()); run = keep;
    }
    if (params.get('record')) handlers.korvex_startData();
    if (params.get('review')) { recordedSeconds = Number(params.get('review')); run.lastStartDate = iso(new Date()); }
    log('KorvexAPI::getHardwareState');
    if (params.get('error')) error('HardwareAPI::start_data_acquisition - Remote not configured');
    event('acquisitionStackChanged');
  });
})();
