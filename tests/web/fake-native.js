// A stand-in for Scrivel's native side, installed into the page before its
// scripts run. It receives what the page posts to the "scrivel" message
// handler, decodes every request as strictly as the native side does, and
// answers through window.__scrivel the way the native side does: with the id
// and the payload as JSON texts. Tests read window.__fake.sent and call
// window.__fake.resolve / reject / emit to play the native side's part.
(() => {
  const DEFAULT_ACK = { ok: true };
  const INVALID = 'The app received an invalid request.';
  const MASK_SETTINGS = 'Invalid mask settings. Distances must be finite and within 1,000,000 pixels; opacity must be between 0 and 100%.';

  const fake = {
    sent: [],          // every request body, as posted
    violations: [],    // every way the page broke the protocol
    held: [],          // requests waiting for the test to answer
    video: null,       // the VideoInfo the page was last given
    scripted: {},      // method -> list of { resolve } or { reject } to answer with
    holdMethods: new Set(['openVideo', 'scanVideo', 'exportVideo']),
  };
  window.__fake = fake;

  // ---- strict decoding, one rule per record ------------------------------
  const isObj = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);
  const T = {
    string: (v) => typeof v === 'string',
    number: (v) => typeof v === 'number',
    bool: (v) => typeof v === 'boolean',
    int: (v) => Number.isInteger(v),
    uint32: (v) => Number.isInteger(v) && v >= 0 && v <= 4294967295,
  };
  const record = (shape) => (v, path) => {
    if (!isObj(v)) return `${path} is not an object`;
    for (const [key, check] of Object.entries(shape)) {
      if (!(key in v)) return `${path}.${key} is missing`;
      const problem = check(v[key], `${path}.${key}`);
      if (problem) return problem;
    }
    return null;
  };
  const prim = (name) => (v, path) => (T[name](v) ? null : `${path} is not a ${name}`);
  const oneOf = (...values) => (v, path) => (values.includes(v) ? null : `${path} is not one of ${values.join(', ')}`);
  const list = (item) => (v, path) => {
    if (!Array.isArray(v)) return `${path} is not an array`;
    for (let i = 0; i < v.length; i++) {
      const problem = item(v[i], `${path}[${i}]`);
      if (problem) return problem;
    }
    return null;
  };
  const rect = record({ x: prim('number'), y: prim('number'), width: prim('number'), height: prim('number') });
  const scanSettings = record({
    allText: prim('bool'), quality: oneOf('fast', 'balanced', 'precise'), confidence: prim('number'),
    blurHan: prim('bool'), blurEmails: prim('bool'), blurPhones: prim('bool'), customTerms: list(prim('string')),
  });
  const renderSettings = record({
    style: oneOf('blur', 'pixelate', 'solid', 'skeleton'),
    blurRadius: prim('number'), pixelSize: prim('number'), cornerRadius: prim('number'),
    opacity: prim('number'), feather: prim('number'),
    padding: record({ top: prim('number'), right: prim('number'), bottom: prim('number'), left: prim('number') }),
    solidColor: prim('uint32'), skeletonAnimation: prim('bool'),
    excludedTrackIDs: list(prim('int')),
    manualMasks: list(record({
      id: prim('string'), rect, startTime: prim('number'), endTime: prim('number'), enabled: prim('bool'),
    })),
  });
  const bounds = record({ x: prim('number'), y: prim('number'), width: prim('number'), height: prim('number'), visible: prim('bool') });
  const video = { videoId: prim('string') };
  const PARAMS = {
    ready: null, openVideo: null, resetViewport: null,
    scanVideo: record({ ...video, jobId: prim('string'), settings: scanSettings }),
    exportVideo: record({ ...video, jobId: prim('string'), settings: renderSettings }),
    cancelJob: record({ jobId: prim('string') }),
    setWindowDragBounds: bounds,
    setPlayerBounds: bounds,
    setPreview: record({ ...video, enabled: prim('bool'), showRegions: prim('bool'), renderSettings }),
    setDrawing: record({ ...video, enabled: prim('bool') }),
    togglePlayback: record(video),
    seek: record({ ...video, time: prim('number') }),
    revealInFinder: record({ path: prim('string') }),
  };

  // The native side's check of render settings, written out independently.
  function refusesRenderSettings(s, duration) {
    const ids = s.manualMasks.map((m) => m.id);
    if (new Set(ids).size !== ids.length) return 'duplicate mask ids';
    for (const m of s.manualMasks) {
      const r = m.rect;
      const ok = m.id !== '' && [r.x, r.y, r.width, r.height, m.startTime, m.endTime].every(Number.isFinite) &&
        r.x >= 0 && r.y >= 0 && r.width > 0 && r.height > 0 &&
        r.x + r.width <= 1.0000001 && r.y + r.height <= 1.0000001 &&
        m.startTime >= 0 && m.startTime < m.endTime && m.endTime <= duration;
      if (!ok) return `manual mask ${m.id} out of range`;
    }
    const within = (v, lo, hi) => v >= lo && v <= hi;
    for (const k of ['blurRadius', 'pixelSize', 'cornerRadius', 'feather']) {
      if (!within(s[k], 0, 1e6)) return `${k} out of range`;
    }
    for (const k of ['top', 'right', 'bottom', 'left']) {
      if (!within(s.padding[k], -1e6, 1e6)) return `padding.${k} out of range`;
    }
    if (!within(s.opacity, 0, 1)) return 'opacity out of range';
    if (s.solidColor > 0xffffff) return 'solidColor has an alpha byte';
    return null;
  }

  // Numbers the JSON bridge cannot carry (NaN, ±Infinity) are protocol faults.
  function nonFinite(value, path = 'params') {
    if (typeof value === 'number' && !Number.isFinite(value)) return path;
    if (value && typeof value === 'object') {
      for (const [k, v] of Object.entries(value)) {
        const found = nonFinite(v, `${path}.${k}`);
        if (found) return found;
      }
    }
    return null;
  }

  // ---- answering ---------------------------------------------------------
  function call(fn, first, payload) {
    // The native side sends both arguments as JSON text.
    const a = JSON.stringify(first);
    const b = JSON.stringify(payload);
    setTimeout(() => window.__scrivel?.[fn](JSON.parse(a), JSON.parse(b)), 0);
  }
  fake.resolve = (id, value) => {
    if (value && typeof value === 'object' && 'id' in value && 'displayName' in value) fake.video = value;
    call('resolve', id, value);
  };
  fake.reject = (id, message) => call('reject', id, { message });
  fake.emit = (name, payload) => {
    if (name === 'videoSelected') fake.video = payload;
    call('emit', name, payload);
  };
  /** Answers the oldest held request of `method`. */
  fake.answer = (method, outcome) => {
    const index = fake.held.findIndex((m) => m.method === method);
    if (index < 0) throw new Error(`no held ${method} request`);
    const [message] = fake.held.splice(index, 1);
    if ('reject' in outcome) fake.reject(message.id, outcome.reject);
    else fake.resolve(message.id, outcome.resolve);
    return message;
  };
  fake.of = (method) => fake.sent.filter((m) => m.method === method);
  fake.last = (method) => fake.of(method).at(-1);

  function receive(body) {
    if (!isObj(body)) {
      fake.violations.push(`body is not an object: ${typeof body}`);
      return;
    }
    fake.sent.push(JSON.parse(JSON.stringify(body)));
    const { id, method } = body;
    if (typeof id !== 'string' || typeof method !== 'string') {
      fake.violations.push(`envelope without string id/method: ${JSON.stringify(body)}`);
      return;
    }
    if (!(method in PARAMS)) {
      fake.violations.push(`unknown method ${method}`);
      fake.reject(id, INVALID);
      return;
    }
    const params = body.params === undefined ? {} : body.params;
    const bad = nonFinite(params);
    if (bad) fake.violations.push(`${method}: ${bad} is not finite`);
    const decode = PARAMS[method];
    const problem = isObj(params) ? (decode ? decode(params, 'params') : null) : 'params is not an object';
    if (problem) {
      fake.violations.push(`${method}: ${problem}`);
      fake.reject(id, `The data couldn’t be read because ${problem}.`);
      return;
    }
    if ('videoId' in params && fake.video && params.videoId !== fake.video.id) {
      fake.violations.push(`${method}: stale videoId ${params.videoId}`);
    }
    const settings = method === 'setPreview' ? params.renderSettings : method === 'exportVideo' ? params.settings : null;
    if (settings) {
      const refused = refusesRenderSettings(settings, fake.video ? fake.video.duration : 0);
      if (refused) {
        fake.violations.push(`${method}: sent settings the native side refuses (${refused})`);
        fake.reject(id, MASK_SETTINGS);
        return;
      }
    }
    const script = fake.scripted[method];
    if (script && script.length) {
      const outcome = script.shift();
      if ('reject' in outcome) fake.reject(id, outcome.reject);
      else fake.resolve(id, outcome.resolve);
      return;
    }
    if (fake.holdMethods.has(method)) {
      fake.held.push(body);
      return;
    }
    fake.resolve(id, method === 'cancelJob' ? { cancelled: true } : DEFAULT_ACK);
  }

  window.webkit = { messageHandlers: { scrivel: { postMessage: receive } } };
  document.addEventListener('securitypolicyviolation', (event) => {
    fake.violations.push(`content security policy blocked ${event.violatedDirective} (${event.blockedURI})`);
  });
})();
