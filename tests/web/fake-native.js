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
    exported: null,    // the video id of the last finished export
    scripted: {},      // method -> list of { resolve } or { reject } to answer with
    holdMethods: new Set(['openVideo', 'scanVideo', 'exportVideo', 'checkCopy', 'saveReview', 'openReview', 'openVideoFile', 'stepTrack']),
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
    checkCopy: record({ ...video, jobId: prim('string') }),
    cancelJob: record({ jobId: prim('string') }),
    setWindowDragBounds: bounds,
    setPlayerBounds: bounds,
    setPreview: record({ ...video, enabled: prim('bool'), showRegions: prim('bool'), renderSettings }),
    setDrawing: record({ ...video, enabled: prim('bool') }),
    togglePlayback: record(video),
    seek: record({ ...video, time: prim('number') }),
    revealInFinder: record({ path: prim('string') }),
    stepTrack: record({ ...video, trackId: prim('int'), time: prim('number'), direction: oneOf('next', 'previous') }),
    saveReview: record({ ...video, renderSettings, saveAs: prim('bool') }),
    openReview: record({ path: (v, path) => (v === null || typeof v === 'string' ? null : `${path} is not a string or null`) }),
    openVideoFile: record({ path: prim('string') }),
    setReviewState: record({ unsaved: prim('bool') }),
    closeWindow: null,
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


  // ---- a stand-in for the native player, for screenshots ------------------
  // The real player is a native view laid over the page at the bounds the page
  // reports; this draws a mock recording there with the masks the page asked for.
  const view = { bounds: null, preview: null, tracks: [], time: 0 };
  const esc = (t) => String(t).replace(/[&<>"]/g, (c) => `&#${c.charCodeAt(0)};`);
  function paint() {
    let host = document.getElementById('fake-player');
    if (!host) {
      if (!document.body) return;
      host = document.createElement('div');
      host.id = 'fake-player';
      Object.assign(host.style, { position: 'fixed', pointerEvents: 'none', overflow: 'hidden', background: '#000', zIndex: 5 });
      document.body.append(host);
    }
    const b = view.bounds;
    host.style.display = b && b.visible ? 'block' : 'none';
    if (!b || !b.visible) return;
    Object.assign(host.style, { left: `${b.x}px`, top: `${b.y}px`, width: `${b.width}px`, height: `${b.height}px` });
    const W = 1920, H = 1080;
    // The mock text is measured in the font it is drawn in, so its masks cover it.
    const MOCK_FONT = '"DejaVu Sans", "Noto Sans CJK SC", sans-serif';
    const lines = [];
    const masks = [];
    const settings = view.preview?.renderSettings;
    // Six lines fit the mock window; only spans the scan hides are masked.
    view.tracks.slice(0, 6).forEach((t, i) => {
      const y = 330 + i * 120;
      lines.push(`<text x="560" y="${y}" font-size="44" font-family='${MOCK_FONT}' fill="#2a2f3a">${esc(t.text)}</text>`);
      const shown = (t.selectedText || t.text).split(' · ');
      const measure = (text) => {
        const ctx = (view.ctx ??= document.createElement('canvas').getContext('2d'));
        ctx.font = `44px ${MOCK_FONT}`;
        return ctx.measureText(text).width;
      };
      const start = Math.max(0, t.text.indexOf(shown[0]));
      const last = shown.at(-1);
      const end = t.text.lastIndexOf(last) + last.length;
      const x = 554 + measure(t.text.slice(0, start));
      const hides = !Array.isArray(t.kinds) || t.kinds.length > 0;
      if (hides && settings && view.preview.enabled && !settings.excludedTrackIDs.includes(t.id)) {
        masks.push({ x: x - 4, y: y - 44, w: measure(t.text.slice(start, end)) + 16, h: 58, id: t.id });
      }
    });
    if (settings && view.preview.enabled) {
      for (const m of settings.manualMasks) {
        if (!m.enabled || view.time < m.startTime || view.time >= m.endTime) continue;
        masks.push({ x: m.rect.x * W, y: m.rect.y * H, w: m.rect.width * W, h: m.rect.height * H, manual: true });
      }
    }
    const hex = (c) => `#${(c >>> 0).toString(16).padStart(6, '0')}`;
    const drawMask = (m) => {
      const r = settings.cornerRadius * 2;
      const o = settings.opacity;
      switch (settings.style) {
        case 'solid': return `<rect x="${m.x}" y="${m.y}" width="${m.w}" height="${m.h}" rx="${r}" fill="${hex(settings.solidColor)}" opacity="${o}"/>`;
        case 'skeleton': return `<rect x="${m.x}" y="${m.y + 8}" width="${m.w}" height="${m.h - 16}" rx="${Math.max(r, 20)}" fill="#d9dce3" opacity="${o}"/>`;
        case 'pixelate': {
          const cells = [];
          const size = Math.max(8, settings.pixelSize * 1.5);
          for (let yy = m.y; yy < m.y + m.h; yy += size) {
            for (let xx = m.x; xx < m.x + m.w; xx += size) {
              const shade = 140 + Math.round((xx * 7 + yy * 13) % 80);
              cells.push(`<rect x="${xx}" y="${yy}" width="${Math.min(size, m.x + m.w - xx)}" height="${Math.min(size, m.y + m.h - yy)}" fill="rgb(${shade},${shade + 4},${shade + 10})"/>`);
            }
          }
          return `<g opacity="${o}">${cells.join('')}</g>`;
        }
        default: return `<rect x="${m.x}" y="${m.y}" width="${m.w}" height="${m.h}" rx="${r + 10}" fill="#cfd3dc" filter="url(#soft)" opacity="${o}"/>`;
      }
    };
    const outlines = view.preview?.showRegions
      ? masks.filter((m) => !m.manual).map((m) => `<rect x="${m.x - 4}" y="${m.y - 4}" width="${m.w + 8}" height="${m.h + 8}" rx="6" fill="none" stroke="#8a7dff" stroke-width="4"/>`).join('')
      : '';
    host.innerHTML = `<svg viewBox="0 0 ${W} ${H}" width="100%" height="100%" preserveAspectRatio="xMidYMid meet" font-family="DejaVu Sans, Noto Sans CJK SC, sans-serif">
      <defs><filter id="soft"><feGaussianBlur stdDeviation="7"/></filter></defs>
      <rect width="${W}" height="${H}" fill="#3b4252"/>
      <rect x="360" y="120" width="1200" height="840" rx="18" fill="#f7f8fa"/>
      <rect x="360" y="120" width="1200" height="64" rx="18" fill="#e6e8ee"/>
      <circle cx="404" cy="152" r="10" fill="#ff5f57"/><circle cx="436" cy="152" r="10" fill="#febc2e"/><circle cx="468" cy="152" r="10" fill="#28c840"/>
      <text x="960" y="162" font-size="30" text-anchor="middle" fill="#5f6673">Weekly sync – notes</text>
      <rect x="360" y="184" width="150" height="776" fill="#eceef3"/>
      <rect x="390" y="230" width="90" height="18" rx="9" fill="#cdd2dc"/><rect x="390" y="270" width="70" height="18" rx="9" fill="#cdd2dc"/><rect x="390" y="310" width="80" height="18" rx="9" fill="#cdd2dc"/>
      ${lines.join('')}
      <rect x="560" y="${330 + Math.min(view.tracks.length, 6) * 120 - 30}" width="760" height="22" rx="11" fill="#e1e4ea"/>
      <rect x="560" y="${330 + Math.min(view.tracks.length, 6) * 120 + 20}" width="540" height="22" rx="11" fill="#e1e4ea"/>
      ${settings ? masks.map(drawMask).join('') : ''}${outlines}
    </svg>`;
  }
  fake.paint = paint;

  // ---- answering ---------------------------------------------------------
  function call(fn, first, payload) {
    // The native side sends both arguments as JSON text.
    const a = JSON.stringify(first);
    const b = JSON.stringify(payload);
    setTimeout(() => window.__scrivel?.[fn](JSON.parse(a), JSON.parse(b)), 0);
  }
  // Like the native side, a newly selected video has no export to check.
  function select(video) {
    if (fake.video?.id !== video.id) fake.exported = null;
    fake.video = video;
  }
  fake.resolve = (id, value) => {
    if (value && typeof value === 'object' && 'id' in value && 'displayName' in value) select(value);
    if (value && Array.isArray(value.tracks)) { view.tracks = value.tracks; setTimeout(paint, 0); }
    // An opened review: its video and its scan.
    if (value && value.video && value.summary) {
      select(value.video);
      view.tracks = value.summary.tracks;
      setTimeout(paint, 0);
    }
    call('resolve', id, value);
  };
  fake.reject = (id, message) => call('reject', id, { message });
  fake.emit = (name, payload) => {
    if (name === 'videoSelected') select(payload);
    if (name === 'playerState') { view.time = payload.time; setTimeout(paint, 0); }
    call('emit', name, payload);
  };
  /** Answers the oldest held request of `method`. */
  fake.answer = (method, outcome) => {
    const index = fake.held.findIndex((m) => m.method === method);
    if (index < 0) throw new Error(`no held ${method} request`);
    const [message] = fake.held.splice(index, 1);
    if (method === 'exportVideo' && outcome.resolve?.outputPath) fake.exported = message.params.videoId;
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
    const settings = method === 'setPreview' || method === 'saveReview' ? params.renderSettings
      : method === 'exportVideo' ? params.settings : null;
    if (settings) {
      const refused = refusesRenderSettings(settings, fake.video ? fake.video.duration : 0);
      if (refused) {
        fake.violations.push(`${method}: sent settings the native side refuses (${refused})`);
        fake.reject(id, MASK_SETTINGS);
        return;
      }
    }
    if (method === 'checkCopy' && params.videoId !== fake.exported) {
      fake.violations.push('checkCopy: no finished export of this video to check');
    }
    if (method === 'setPlayerBounds') { view.bounds = params; paint(); }
    if (method === 'setPreview') { view.preview = params; paint(); }
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
