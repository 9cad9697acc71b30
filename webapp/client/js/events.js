// Events from the library (and the host) arrive through KorvexEventHandler.sendEvent.
export class EventHub {
  constructor() {
    this.handlers = new Map(); // name -> Set of functions; '*' gets every event
  }

  on(name, fn) {
    if (!this.handlers.has(name)) this.handlers.set(name, new Set());
    this.handlers.get(name).add(fn);
    return () => this.handlers.get(name)?.delete(fn);
  }

  // Resolves with the next event of that name, or rejects after timeoutMs.
  next(name, timeoutMs) {
    return new Promise((resolve, reject) => {
      const off = this.on(name, (event) => {
        clearTimeout(timer);
        off();
        resolve(event);
      });
      const timer = setTimeout(() => {
        off();
        reject(new Error(`no ${name} event within ${timeoutMs} ms`));
      }, timeoutMs);
    });
  }

  dispatch(event) {
    for (const key of [event.name, '*']) {
      for (const fn of [...(this.handlers.get(key) ?? [])]) {
        try {
          fn(event);
        } catch (err) {
          console.warn(`handler of ${event.name} failed:`, err);
        }
      }
    }
  }
}
