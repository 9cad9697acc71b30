// Calibration panel: the stored calibration records (list, delete) and the two guided
// calibrations, accelerometer on six faces and force probe with tare and a known mass.
// Measurements read the raw counts of the last second of the running recording.
import { el, fill, hex, confirmDialog } from '../ui.js';
import { singleSensorSeries } from '../layouts.js';
import { sensorTitle } from '../sensors.js';
import {
  ACCELEROMETER, FORCE, FACES, restingMeans, checkResting, accelerometerCalibration, forceCalibration,
  calibrationRecord, encodeRecord, calibrationRows, CalibrationError,
} from '../calibration.js';
import { encodeDocumentToByteList } from '../bsondoc.js';
import { t, num, language } from '../i18n.js';

const MEASURE_SECONDS = 1;

export class CalibrationPanel {
  constructor(root, client, store, { notify, announce, startRecording }) {
    this.root = root;
    this.client = client;
    this.store = store;
    this.notify = notify;
    this.announce = announce;
    this.startRecording = startRecording;
    this.rows = null;
    this.error = null;
    this.list = el('div', { class: 'cal-list' });
    this.actions = el('div', { class: 'button-row' });
    fill(root, el('h2', {}, t('cal.heading')), this.actions, el('h3', {}, t('cal.stored')), this.list);
    store.addEventListener('change', (e) => {
      if (['stack', 'hardware', 'recording'].includes(e.detail)) this.renderActions();
    });
    this.renderActions();
    this.refresh();
  }

  // Remotes of the run with an accelerometer or force probe, and their hardware IDs.
  targets() {
    const out = [];
    for (const r of this.store.runRemotes()) {
      const id = this.store.remoteSlot(r.remote)?.remoteID;
      for (const s of r.sensors) {
        if (s.sensorType === ACCELEROMETER || s.sensorType === FORCE) out.push({ remote: r.remote, sensorType: s.sensorType, remoteID: id });
      }
    }
    return out;
  }

  renderActions() {
    const targets = this.targets();
    fill(this.actions, targets.length ? targets.map((tg) => el('button', {
      class: 'btn btn-small', type: 'button', disabled: !Number.isInteger(tg.remoteID) || tg.remoteID === 0,
      onclick: () => (tg.sensorType === FORCE ? this.forceGuide(tg) : this.accelGuide(tg)),
    }, t(tg.sensorType === FORCE ? 'cal.forceButton' : 'cal.accelButton', { remote: tg.remote })))
      : el('p', { class: 'detail' }, t('cal.noTargets')));
  }

  async refresh() {
    try {
      const { doc } = await this.client.request('korvex_calibrationManagement', [0]);
      this.rows = calibrationRows(doc);
      this.error = null;
    } catch (err) {
      this.rows = null;
      this.error = err;
    }
    this.renderList();
  }

  renderList() {
    if (!this.rows) {
      fill(this.list, el('p', { class: 'placeholder' }, this.error ? t('cal.listError', { error: this.error.message }) : t('ui.reading')));
      return;
    }
    if (!this.rows.length) {
      fill(this.list, el('p', { class: 'placeholder' }, t('cal.none')));
      return;
    }
    const nums = (a) => a.map((v) => num(Number(v), { maximumFractionDigits: 2 })).join(' / ');
    fill(this.list, el('ul', { class: 'cal-records' }, this.rows.map((r) => el('li', {},
      el('div', {},
        el('strong', {}, t('cal.recordTitle', { id: hex(r.remoteID), sensor: sensorTitle(r.sensor) })),
        el('div', { class: 'detail' }, t(r.sensor === FORCE ? 'cal.recordForce' : 'cal.recordAxes', { offset: nums(r.offset), scale: nums(r.scale) })),
        r.created ? el('div', { class: 'detail' }, new Date(r.created).toLocaleString(language())) : null),
      el('button', {
        class: 'btn btn-small btn-danger', type: 'button',
        'aria-label': t('cal.deleteLabel', { id: hex(r.remoteID), sensor: sensorTitle(r.sensor) }),
        onclick: () => this.remove(r),
      }, t('ui.delete'))))));
  }

  async remove(r) {
    if (!await confirmDialog(t('cal.deleteTitle'), t('cal.deleteText', { id: hex(r.remoteID), sensor: sensorTitle(r.sensor) }), t('ui.delete'), { danger: true })) return;
    try {
      const { doc } = await this.client.request('korvex_calibrationManagement',
        [2, encodeDocumentToByteList({ remoteID: r.remoteID, sensor: r.sensor })]);
      if (doc.success === true) this.notify(t('cal.deleted'), 'info');
      else this.notify(t('cal.deleteFailed', { error: doc.error || '?' }), 'error');
    } catch (err) {
      this.notify(err.message, 'error');
    }
    this.refresh();
  }

  async save(record) {
    const { doc } = await this.client.request('korvex_calibrationManagement', [3, encodeRecord(record)]);
    await this.refresh();
    if (doc.success !== true) throw new Error(t('cal.saveFailed', { error: doc.error || '?' }));
  }

  // Raw counts of the last second -> mean per axis; refuses a moving remote.
  async measure(remote, sensorType, axes) {
    if (!this.store.recording) throw new CalibrationError('cal.err.notRecording');
    const { doc, data } = await this.client.request('korvex_getSensorData1',
      [remote, sensorType, -MEASURE_SECONDS, -1, true, -1, -1]);
    const s = singleSensorSeries(doc, data);
    if (!s || !s.raw) throw new CalibrationError('cal.err.noData');
    return checkResting(restingMeans(s.raw.slice(0, axes)), { axes });
  }

  explain(err) {
    if (err instanceof CalibrationError) return t(err.code, err.detail);
    return err.message ?? String(err);
  }

  // A dialog that stays open across the steps of a guide.
  guideDialog(title) {
    const status = el('p', { class: 'cal-status', role: 'status', 'aria-live': 'polite' });
    const body = el('div', { class: 'cal-body' });
    const actions = el('div', { class: 'modal-actions' });
    const dialog = el('dialog', { class: 'modal modal-wide', 'aria-labelledby': 'cal-title' },
      el('h2', { id: 'cal-title' }, title), body, status, actions);
    const d = { dialog, body, status, actions, render: null };
    // Starting the recording from the guide (or anywhere else) updates its hint.
    const onChange = (e) => { if (e.detail === 'recording' && d.render) d.render(); };
    this.store.addEventListener('change', onChange);
    dialog.addEventListener('close', () => { this.store.removeEventListener('change', onChange); dialog.remove(); });
    document.body.append(dialog);
    dialog.showModal();
    return d;
  }

  recordingHint() {
    return this.store.recording ? null : el('div', { class: 'cal-hint' },
      el('p', {}, t('cal.needRecording')),
      el('button', { class: 'btn', type: 'button', onclick: () => this.startRecording() }, t('cal.startRecording')));
  }

  accelGuide(target) {
    const d = this.guideDialog(t('cal.accelTitle', { remote: target.remote }));
    const means = {};
    let step = 0;
    let result = null;
    let working = false;
    const render = () => {
      const face = FACES[step];
      const list = el('ol', { class: 'cal-steps' }, FACES.map((f, i) => el('li', {
        class: i === step && !result ? 'current' : means[f.id] ? 'done' : '',
        'aria-current': i === step && !result ? 'step' : null,
      }, t(`cal.face.${f.id}`), means[f.id] ? ` ✓ (${means[f.id].map((v) => num(v, { maximumFractionDigits: 1 })).join(' / ')})` : '')));
      const parts = [el('p', {}, t('cal.accelIntro')), list, this.recordingHint()];
      if (result) {
        parts.push(el('table', { class: 'readout-table' },
          el('thead', {}, el('tr', {}, el('th', {}, t('cal.axis')), el('th', {}, t('cal.offset')), el('th', {}, t('cal.scale')))),
          el('tbody', {}, ['x', 'y', 'z'].map((a, i) => el('tr', {}, el('th', { scope: 'row' }, a),
            el('td', {}, num(result.offset[i], { maximumFractionDigits: 1 })),
            el('td', {}, num(result.scale[i], { maximumFractionDigits: 2 })))))));
      } else {
        parts.push(el('p', { class: 'cal-instruction' }, t('cal.placeFace', { face: t(`cal.face.${face.id}`) })));
      }
      fill(d.body, parts);
      const buttons = [el('button', { class: 'btn', type: 'button', onclick: () => d.dialog.close() }, t('ui.cancel'))];
      if (step > 0 && !result) buttons.push(el('button', { class: 'btn', type: 'button', disabled: working, onclick: () => { step -= 1; render(); } }, t('cal.back')));
      if (result) {
        buttons.push(el('button', { class: 'btn', type: 'button', onclick: () => { result = null; step = 0; render(); } }, t('cal.again')));
        buttons.push(el('button', { class: 'btn btn-primary', type: 'button', disabled: working, onclick: saveIt }, t('cal.save')));
      } else {
        buttons.push(el('button', { class: 'btn btn-primary', type: 'button', disabled: working, onclick: measureIt }, t('cal.measure')));
      }
      fill(d.actions, buttons);
    };
    d.render = render;
    const measureIt = async () => {
      working = true;
      render();
      d.status.textContent = t('cal.measuring');
      try {
        means[FACES[step].id] = await this.measure(target.remote, ACCELEROMETER, 3);
        d.status.textContent = t('cal.faceDone', { face: t(`cal.face.${FACES[step].id}`) });
        if (step < FACES.length - 1) step += 1;
        else result = accelerometerCalibration(means);
        if (result) d.status.textContent = t('cal.accelReady');
      } catch (err) {
        d.status.textContent = this.explain(err);
      }
      working = false;
      render();
      d.actions.querySelector('.btn-primary')?.focus();
    };
    const saveIt = async () => {
      working = true;
      render();
      try {
        await this.save(calibrationRecord(target.remoteID, ACCELEROMETER, result));
        d.dialog.close();
        this.notify(t('cal.saved', { remote: target.remote, sensor: sensorTitle(ACCELEROMETER) }), 'info');
        this.announce(t('cal.saved', { remote: target.remote, sensor: sensorTitle(ACCELEROMETER) }));
      } catch (err) {
        d.status.textContent = this.explain(err);
        working = false;
        render();
      }
    };
    render();
    d.actions.querySelector('.btn-primary')?.focus();
  }

  forceGuide(target) {
    const d = this.guideDialog(t('cal.forceTitle', { remote: target.remote }));
    let empty = null;
    let loaded = null;
    let result = null;
    let working = false;
    const mass = el('input', { type: 'text', inputmode: 'decimal', id: 'cal-mass', value: '500', size: 8, autocomplete: 'off' });
    const grams = () => Number(String(mass.value).trim().replace(',', '.'));
    const render = () => {
      fill(d.body,
        el('p', {}, t('cal.forceIntro')),
        this.recordingHint(),
        el('ol', { class: 'cal-steps' },
          el('li', { class: empty === null ? 'current' : 'done' }, t('cal.forceEmpty'),
            empty !== null ? ` ✓ (${num(empty, { maximumFractionDigits: 1 })})` : ''),
          el('li', { class: empty !== null && loaded === null ? 'current' : loaded !== null ? 'done' : '' },
            el('label', { for: 'cal-mass' }, t('cal.massLabel'), ' '), mass, ' g · ', t('cal.forceLoaded'),
            loaded !== null ? ` ✓ (${num(loaded, { maximumFractionDigits: 1 })})` : '')),
        result ? el('p', { class: 'cal-instruction' }, t('cal.forceResult', {
          tare: num(result.tare, { maximumFractionDigits: 1 }), scale: num(result.scale, { maximumFractionDigits: 2 }),
        })) : null);
      const buttons = [el('button', { class: 'btn', type: 'button', onclick: () => d.dialog.close() }, t('ui.cancel'))];
      if (result) {
        buttons.push(el('button', { class: 'btn', type: 'button', onclick: () => { empty = null; loaded = null; result = null; render(); } }, t('cal.again')));
        buttons.push(el('button', { class: 'btn btn-primary', type: 'button', disabled: working, onclick: saveIt }, t('cal.save')));
      } else {
        buttons.push(el('button', { class: 'btn btn-primary', type: 'button', disabled: working, onclick: measureIt }, t('cal.measure')));
      }
      fill(d.actions, buttons);
    };
    d.render = render;
    const measureIt = async () => {
      working = true;
      d.status.textContent = t('cal.measuring');
      try {
        if (empty === null) {
          [empty] = await this.measure(target.remote, FORCE, 1);
          d.status.textContent = t('cal.forceEmptyDone');
        } else {
          const kg = grams() / 1000;
          if (!(kg > 0)) throw new CalibrationError('cal.err.mass');
          [loaded] = await this.measure(target.remote, FORCE, 1);
          result = forceCalibration(empty, loaded, kg);
          d.status.textContent = t('cal.forceReady');
        }
      } catch (err) {
        if (err instanceof CalibrationError && err.code === 'cal.err.noLoad') loaded = null;
        d.status.textContent = this.explain(err);
      }
      working = false;
      render();
      d.actions.querySelector('.btn-primary')?.focus();
    };
    const saveIt = async () => {
      working = true;
      try {
        await this.save(calibrationRecord(target.remoteID, FORCE, { offset: result.tare, scale: result.scale }));
        d.dialog.close();
        this.notify(t('cal.saved', { remote: target.remote, sensor: sensorTitle(FORCE) }), 'info');
        this.announce(t('cal.saved', { remote: target.remote, sensor: sensorTitle(FORCE) }));
      } catch (err) {
        d.status.textContent = this.explain(err);
      }
      working = false;
      render();
    };
    render();
    d.actions.querySelector('.btn-primary')?.focus();
  }
}
