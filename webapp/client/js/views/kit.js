// Kit panel: the dongle, the two remote slots, pairing and switching remotes off.
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
      const why = this.store.hardwareError ? `Kit state unknown: ${this.store.hardwareError.message}` : 'Reading the kit…';
      fill(this.root, el('h2', {}, 'Kit'), el('p', { class: 'placeholder' }, why));
      return;
    }
    const plugged = hw.donglePlugged === 1;
    const dongle = el('div', { class: `kit-dongle ${plugged ? 'ok' : 'bad'}` },
      el('span', { class: 'dot', 'aria-hidden': 'true' }),
      el('div', {},
        el('strong', {}, plugged ? 'Dongle plugged in' : 'Dongle not found'),
        el('div', { class: 'detail' }, plugged
          ? `${dongleModeInWords(hw.dongleMode)} · ID ${hex(hw.dongleID)} · firmware ${hw.fwVersion}`
          : 'Plug the USB dongle into this computer.')));
    const slots = [1, 2].map((n) => this.slotCard(n, hw[`remote${n}`], plugged));
    const find = el('button', {
      class: 'btn', type: 'button', disabled: !plugged || this.finding || this.store.recording,
      onclick: () => this.findRemote(),
    }, this.finding ? 'Looking for a remote…' : 'Pair a remote…');
    fill(this.root, el('h2', {}, 'Kit'), dongle, el('div', { class: 'kit-slots' }, slots), find);
  }

  slotCard(n, slot, plugged) {
    if (!slot) return el('div', { class: 'kit-slot' }, `Remote ${n}: unknown`);
    const paired = slot.pairStatus === 1;
    const linked = plugged && slot.rfStatus === 1;
    const volts = Number(slot.batteryVoltage);
    const battery = linked && volts > 0
      ? el('span', { class: volts < LOW_BATTERY_V ? 'warn' : '' },
        `battery ${volts.toFixed(2)} V${volts < LOW_BATTERY_V ? ' (low)' : ''}`)
      : null;
    const firmware = linked && (slot.rfFwVersion || slot.sensorFwVersion)
      ? `firmware ${slot.rfFwVersion ?? '—'}/${slot.sensorFwVersion ?? '—'}` : null;
    const off = linked ? el('button', {
      class: 'btn btn-small', type: 'button', disabled: this.store.recording,
      onclick: () => this.powerOff(n),
    }, 'Switch off') : null;
    return el('div', { class: `kit-slot ${linked ? 'ok' : paired ? 'idle' : 'bad'}` },
      el('span', { class: 'dot', 'aria-hidden': 'true' }),
      el('div', {},
        el('strong', {}, `Remote ${n}`),
        el('div', { class: 'detail' }, paired ? `paired · ID ${hex(slot.remoteID)}` : 'not paired'),
        el('div', { class: 'detail' }, linked ? 'radio link up' : paired ? 'no radio link (switched off?)' : ''),
        battery || firmware ? el('div', { class: 'detail' }, battery, battery && firmware ? ' · ' : '', firmware) : null),
      off);
  }

  async powerOff(n) {
    if (!await confirmDialog('Switch off', `Switch remote ${n} off? It has to be switched on again by hand.`, 'Switch off', { danger: true })) return;
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
      await infoDialog('Pair a remote', el('p', {}, 'The dongle did not answer. Check that it is plugged in and try again.'));
      return;
    }
    if (id === 0) {
      await infoDialog('Pair a remote', el('p', {}, 'No remote in pairing mode was found. Put the remote in pairing mode (see its manual) and try again.'));
      return;
    }
    const slot = await choiceDialog('Pair a remote',
      `Found the remote with ID ${hex(id)}. Pair it as remote 1 or remote 2? A remote already paired in that slot is replaced.`,
      [{ label: 'Remote 1', value: 1 }, { label: 'Remote 2', value: 2, primary: true }]);
    if (slot !== 1 && slot !== 2) return;
    try {
      this.client.send('korvex_pairRemote', [slot, PAIR_ACTION, id]);
      this.notify(`Pairing remote ${hex(id)} as remote ${slot}…`, 'info');
    } catch (err) {
      this.notify(err.message, 'error');
    }
  }
}
