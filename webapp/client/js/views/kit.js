// Kit panel: the dongle, the two remote slots, pairing and switching remotes off.
import { t, num } from '../i18n.js';
import { el, fill, hex, confirmDialog, choiceDialog, infoDialog } from '../ui.js';
import { dongleModeInWords } from '../sensors.js';

const FIND_REMOTE = 0x13;
const PAIR_ACTION = 1;
const FIND_TIMEOUT_MS = 15000;
const LOW_BATTERY_V = 3.5;

export class KitPanel {
  constructor(root, client, store, events, notify) {
    this.root = root;
    this.client = client;
    this.store = store;
    this.events = events;
    this.notify = notify;
    this.finding = false;
    store.addEventListener('change', (e) => {
      if (e.detail === 'hardware' || e.detail === 'recording') this.render();
    });
    this.render();
  }

  render() {
    const hw = this.store.hardware;
    if (!hw) {
      const why = this.store.hardwareError ? t('kit.unknown', { error: this.store.hardwareError.message }) : t('kit.reading');
      fill(this.root, el('h2', {}, t('kit.heading')), el('p', { class: 'placeholder' }, why));
      return;
    }
    const plugged = hw.donglePlugged === 1;
    const dongle = el('div', { class: `kit-dongle ${plugged ? 'ok' : 'bad'}` },
      el('span', { class: 'dot', 'aria-hidden': 'true' }),
      el('div', {},
        el('strong', {}, plugged ? t('kit.donglePlugged') : t('kit.dongleMissing')),
        el('div', { class: 'detail' }, plugged
          ? t('kit.dongleDetail', { mode: dongleModeInWords(hw.dongleMode), id: hex(hw.dongleID), fw: hw.fwVersion })
          : t('kit.plugHint'))));
    const slots = [1, 2].map((n) => this.slotCard(n, hw[`remote${n}`], plugged));
    const find = el('button', {
      class: 'btn', type: 'button', disabled: !plugged || this.finding || this.store.recording,
      onclick: () => this.findRemote(),
    }, this.finding ? t('kit.finding') : t('kit.pair'));
    fill(this.root, el('h2', {}, t('kit.heading')), dongle, el('div', { class: 'kit-slots' }, slots), find);
  }

  slotCard(n, slot, plugged) {
    if (!slot) return el('div', { class: 'kit-slot' }, t('kit.slotUnknown', { n }));
    const paired = slot.pairStatus === 1;
    const linked = plugged && slot.rfStatus === 1;
    const volts = Number(slot.batteryVoltage);
    const battery = linked && volts > 0
      ? el('span', { class: volts < LOW_BATTERY_V ? 'warn' : '' },
        t(volts < LOW_BATTERY_V ? 'kit.batteryLow' : 'kit.battery', { v: num(volts, { minimumFractionDigits: 2, maximumFractionDigits: 2 }) }))
      : null;
    const firmware = linked && (slot.rfFwVersion || slot.sensorFwVersion)
      ? t('kit.firmware', { rf: slot.rfFwVersion ?? '—', sensor: slot.sensorFwVersion ?? '—' }) : null;
    const off = linked ? el('button', {
      class: 'btn btn-small', type: 'button', disabled: this.store.recording,
      onclick: () => this.powerOff(n),
    }, t('kit.switchOff')) : null;
    return el('div', { class: `kit-slot ${linked ? 'ok' : paired ? 'idle' : 'bad'}` },
      el('span', { class: 'dot', 'aria-hidden': 'true' }),
      el('div', {},
        el('strong', {}, t('kit.remoteN', { n })),
        el('div', { class: 'detail' }, paired ? t('kit.paired', { id: hex(slot.remoteID) }) : t('kit.notPaired')),
        el('div', { class: 'detail' }, linked ? t('kit.linkUp') : paired ? t('kit.noLink') : ''),
        battery || firmware ? el('div', { class: 'detail' }, battery, battery && firmware ? ' · ' : '', firmware) : null),
      off);
  }

  async powerOff(n) {
    if (!await confirmDialog(t('kit.switchOff'), t('kit.switchOffText', { n }), t('kit.switchOff'), { danger: true })) return;
    try {
      this.client.send('korvex_remotePowerOff', [n]);
    } catch (err) {
      this.notify(err.message, 'error');
    }
  }

  // Pairing: ask the dongle for a remote in pairing mode, then let the user choose the slot.
  async findRemote() {
    this.finding = true;
    this.render();
    let id;
    try {
      const wait = this.events.next('findRemoteResult', FIND_TIMEOUT_MS);
      this.client.send('korvex_sendCommand', [FIND_REMOTE]);
      const event = await wait;
      id = Number(event?.args);
    } catch (err) {
      id = NaN;
    } finally {
      this.finding = false;
      this.render();
    }
    if (!Number.isInteger(id)) {
      await infoDialog(t('kit.pairTitle'), el('p', {}, t('kit.pairNoAnswer')));
      return;
    }
    if (id === 0) {
      await infoDialog(t('kit.pairTitle'), el('p', {}, t('kit.pairNone')));
      return;
    }
    const slot = await choiceDialog(t('kit.pairTitle'), t('kit.pairFound', { id: hex(id) }),
      [{ label: t('kit.remoteN', { n: 1 }), value: 1 }, { label: t('kit.remoteN', { n: 2 }), value: 2, primary: true }]);
    if (slot !== 1 && slot !== 2) return;
    try {
      this.client.send('korvex_pairRemote', [slot, PAIR_ACTION, id]);
      this.notify(t('kit.pairing', { id: hex(id), slot }), 'info');
    } catch (err) {
      this.notify(err.message, 'error');
    }
  }
}
