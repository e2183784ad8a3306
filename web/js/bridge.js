// The page's end of the message bridge. Requests go out as
// { id, method, params } objects to the "scrivel" message handler; the native
// side answers by calling window.__scrivel.resolve(id, payload),
// window.__scrivel.reject(id, { message }) or window.__scrivel.emit(name, payload).

import { newId } from './ids.js';

export const NOT_CONNECTED = 'Scrivel’s video engine is not connected. Open this page in the Scrivel app.';

export class BridgeError extends Error {
  constructor(message, method) {
    super(message);
    this.name = 'BridgeError';
    this.method = method;
  }
}

export class Bridge {
  constructor(win = globalThis) {
    this.win = win;
    this.pending = new Map();
    this.listeners = new Map();
    this.prefix = newId('req');
    this.counter = 0;
    win.__scrivel = {
      resolve: (id, value) => this.settle(id, (p) => p.resolve(value === undefined ? null : value)),
      reject: (id, error) => this.settle(id, (p) => p.reject(new BridgeError(messageOf(error), p.method))),
      emit: (name, payload) => this.dispatch(name, payload),
    };
  }

  get connected() {
    return typeof this.win.webkit?.messageHandlers?.scrivel?.postMessage === 'function';
  }

  /**
   * Sends one request; the promise settles with the native reply. `params`
   * undefined leaves the key out, which the native side reads as {}.
   */
  request(method, params) {
    const id = `${this.prefix}-${++this.counter}`;
    const body = params === undefined ? { id, method } : { id, method, params };
    return new Promise((resolve, reject) => {
      if (!this.connected) {
        reject(new BridgeError(NOT_CONNECTED, method));
        return;
      }
      this.pending.set(id, { resolve, reject, method });
      try {
        this.win.webkit.messageHandlers.scrivel.postMessage(body);
      } catch (error) {
        this.pending.delete(id);
        reject(new BridgeError(messageOf(error), method));
      }
    });
  }

  /** Subscribes to a native event; returns the unsubscribe function. */
  on(name, listener) {
    if (!this.listeners.has(name)) this.listeners.set(name, new Set());
    this.listeners.get(name).add(listener);
    return () => this.listeners.get(name)?.delete(listener);
  }

  settle(id, action) {
    const entry = this.pending.get(id);
    if (!entry) return;
    this.pending.delete(id);
    action(entry);
  }

  dispatch(name, payload) {
    for (const listener of this.listeners.get(name) ?? []) {
      try {
        listener(payload);
      } catch (error) {
        // One failing view must not keep the event from the others.
        console.error(`scrivel: ${name} handler failed`, error);
      }
    }
  }
}

function messageOf(error) {
  if (typeof error === 'string') return error;
  if (error && typeof error.message === 'string' && error.message) return error.message;
  return 'Something went wrong.';
}
