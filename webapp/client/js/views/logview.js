// Log panel: the library's lines, errors and warnings highlighted, bounded in length.
import { t } from '../i18n.js';
import { el, fill } from '../ui.js';

const SHOWN = 500; // rows kept in the page; the store keeps more

export class LogPanel {
  constructor(root, store, { onProblem } = {}) {
    this.root = root;
    this.store = store;
    this.onlyProblems = false;
    this.unseen = 0;
    this.onProblem = onProblem;
    this.list = el('ol', { class: 'log-list', 'aria-live': 'off' });
    this.filter = el('input', {
      type: 'checkbox', id: 'log-problems',
      onchange: () => { this.onlyProblems = this.filter.checked; this.rebuild(); },
    });
    fill(root,
      el('div', { class: 'log-toolbar' },
        el('h2', {}, t('log.heading')),
        el('label', { for: 'log-problems' }, this.filter, ` ${t('log.problemsOnly')}`),
        el('button', { class: 'btn btn-small', type: 'button', onclick: () => store.clear() }, t('log.clear'))),
      this.list);
    store.subscribe((entry) => {
      if (entry === null) { this.rebuild(); return; }
      if (entry.level !== 'info' && this.onProblem) this.onProblem(entry);
      this.append(entry);
    });
    this.rebuild();
  }

  row(entry) {
    const time = entry.stamp ? entry.stamp.replace(/^\S+ /, '') : entry.received.toLocaleTimeString('en-GB');
    return el('li', { class: `log-${entry.level}` },
      el('span', { class: 'log-time' }, time),
      el('span', { class: 'log-level' }, entry.level === 'info' ? '' : t(`log.${entry.level}`)),
      el('span', { class: 'log-text' }, entry.text,
        entry.explanation ? el('span', { class: 'log-words' }, entry.explanation) : null));
  }

  append(entry) {
    if (this.onlyProblems && entry.level === 'info') return;
    const stick = this.list.scrollTop + this.list.clientHeight >= this.list.scrollHeight - 8;
    this.list.append(this.row(entry));
    while (this.list.childElementCount > SHOWN) this.list.firstElementChild.remove();
    if (stick) this.list.scrollTop = this.list.scrollHeight;
  }

  rebuild() {
    const entries = this.store.entries.filter((e) => !this.onlyProblems || e.level !== 'info').slice(-SHOWN);
    fill(this.list, entries.map((e) => this.row(e)));
    this.list.scrollTop = this.list.scrollHeight;
  }
}
