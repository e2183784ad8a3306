// A static server for web/ on the loopback address: the browser tests load
// the page from it, and `node tests/web/server.mjs [port]` serves it for
// development (the app loads it through SCRIVEL_WEB_DEV_URL=http://127.0.0.1:PORT/index.html).

import { createServer } from 'node:http';
import { readFile } from 'node:fs/promises';
import { extname, join, normalize, resolve, sep } from 'node:path';
import { fileURLToPath } from 'node:url';

export const webRoot = resolve(fileURLToPath(new URL('../../web/', import.meta.url)));

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.svg': 'image/svg+xml',
  '.png': 'image/png',
  '.json': 'application/json',
};

export function serve(root = webRoot, port = 0) {
  const server = createServer(async (req, res) => {
    const path = decodeURIComponent(new URL(req.url, 'http://127.0.0.1').pathname);
    const file = normalize(join(root, path));
    if (!file.startsWith(root + sep)) {
      res.writeHead(403).end();
      return;
    }
    try {
      const body = await readFile(file);
      res.writeHead(200, {
        'content-type': TYPES[extname(file)] ?? 'application/octet-stream',
        'cache-control': 'no-store',
      });
      res.end(body);
    } catch {
      res.writeHead(404).end();
    }
  });
  return new Promise((done) => {
    server.listen(port, '127.0.0.1', () => {
      const { port: bound } = server.address();
      done({ url: `http://127.0.0.1:${bound}/`, close: () => new Promise((c) => server.close(c)) });
    });
  });
}

if (process.argv[1] && resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  const { url } = await serve(webRoot, Number(process.argv[2] ?? 8123));
  console.log(`serving ${webRoot} at ${url}index.html`);
}
