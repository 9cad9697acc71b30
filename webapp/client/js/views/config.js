// Configuration panel: for each connected remote, the fixed configuration in words and the
// sensors of the current run.
import { t } from '../i18n.js';
import { el, fill } from '../ui.js';
import { configurationTable, sensorTitle, nominalRate, rateInWords, sensorInfo } from '../sensors.js';

export class ConfigPanel {
  constructor(root, client, store, notify) {
    this.root = root;
    this.client = client;
    this.store = store;
    this.notify = notify;
    this.table = configurationTable();
    this.busy = new Set();
    store.addEventListener('change', (e) => {
      if (['hardware', 'stack', 'recording'].includes(e.detail)) this.render();
    });
    this.render();
  }

  render() {
    const hw = this.store.hardware;
    const run = new Map(this.store.runRemotes().map((r) => [r.remote, r]));
    const cards = [];
    for (const n of [1, 2]) {
      const slot = hw?.[`remote${n}`];
      const connected = hw?.donglePlugged === 1 && slot?.rfStatus === 1;
      const inRun = run.get(n);
      if (!connected && !inRun) continue;
      cards.push(this.remoteCard(n, connected, inRun));
    }
    if (!cards.length) {
      cards.push(el('p', { class: 'placeholder' }, t('config.noRemote')));
    }
    fill(this.root, el('h2', {}, t('config.heading')), cards);
  }

  remoteCard(n, connected, inRun) {
    const current = inRun?.config ?? 0;
    const disabled = !connected || this.store.recording || this.busy.has(n);
    const select = el('select', {
      class: 'config-select', id: `config-${n}`, disabled,
      onchange: () => this.choose(n, Number(select.value)),
    },
    el('option', { value: 0, selected: current === 0 }, t('config.noConfig')),
    this.table.map((row) => el('option', { value: row.number, selected: row.number === current }, row.label)));
    if (current && !this.table.some((r) => r.number === current)) {
      select.append(el('option', { value: current, selected: true }, t('config.unknownOption', { n: current })));
    }
    const sensors = inRun ? el('ul', { class: 'sensor-list' }, inRun.sensors.map((s) => {
      const rate = nominalRate(inRun.config, s.sensorType);
      const info = sensorInfo(s.sensorType);
      return el('li', {},
        el('strong', {}, sensorTitle(s.sensorType)),
        ` – ${info.measures}`,
        el('span', { class: 'detail' },
          ` · ${t(s.sampleSize === 1 ? 'config.oneValue' : 'config.values', { n: s.sampleSize })}${rate ? ` · ${rateInWords(rate)}` : ''}`));
    })) : null;
    return el('div', { class: 'config-card' },
      el('label', { for: `config-${n}` }, el('strong', {}, t('kit.remoteN', { n })), connected ? '' : ` ${t('config.notConnected')}`),
      select, sensors);
  }

  async choose(n, config) {
    this.busy.add(n);
    this.render();
    try {
      const { doc } = await this.client.request('korvex_setFixedConfig', [n, config]);
      if (doc.success !== true) this.notify(t('config.refused', { n }), 'error');
    } catch (err) {
      this.notify(`${t('kit.remoteN', { n })}: ${err.message}`, 'error');
    } finally {
      this.busy.delete(n);
      // The events that follow refresh the reports; ask anyway in case none comes.
      this.store.refreshStack();
      this.store.refreshHardware();
    }
  }
}
