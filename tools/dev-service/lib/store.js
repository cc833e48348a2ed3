// Envelopes received by the development service, kept on disk so that a
// restarted service with the same data folder still shows them.
import { randomBytes } from 'node:crypto';
import { mkdirSync, readdirSync, readFileSync, writeFileSync, renameSync, existsSync, linkSync, copyFileSync, rmSync } from 'node:fs';
import { join } from 'node:path';

const ID_PATTERN = /^env_[0-9a-f]{16}$/;

export function createEnvelopeStore(dataDir) {
  const root = join(dataDir, 'envelopes');
  mkdirSync(root, { recursive: true });
  // Uploads being received; whatever is left here is from an interrupted run.
  const incomingDir = join(dataDir, 'incoming');
  rmSync(incomingDir, { recursive: true, force: true });
  mkdirSync(incomingDir, { mode: 0o700 });
  const envelopes = new Map();

  for (const entry of readdirSync(root)) {
    if (!ID_PATTERN.test(entry)) continue;
    try {
      const meta = JSON.parse(readFileSync(join(root, entry, 'envelope.json'), 'utf8'));
      if (meta.id === entry) envelopes.set(entry, meta);
    } catch {
      // A half-written envelope from an interrupted run is left out.
    }
  }

  // Takes a received upload (lib/multipart.js) as the envelope's document. A link, not a
  // move: one upload may serve several envelopes of a request, and the reader removes it after.
  function add({ name, flow, fileName, upload }) {
    let id;
    do id = 'env_' + randomBytes(8).toString('hex'); while (envelopes.has(id));
    const dir = join(root, id);
    mkdirSync(dir);
    try {
      linkSync(upload.path, join(dir, 'document.pdf'));
    } catch {
      copyFileSync(upload.path, join(dir, 'document.pdf'));
    }
    const meta = { id, name, flow, fileName, size: upload.size, sha256: upload.sha256, createdAt: new Date().toISOString() };
    // The metadata lands last and whole, so a listing never sees a partial envelope.
    writeFileSync(join(dir, 'envelope.json.part'), JSON.stringify(meta, null, 2));
    renameSync(join(dir, 'envelope.json.part'), join(dir, 'envelope.json'));
    envelopes.set(id, meta);
    return meta;
  }

  function get(id) {
    return ID_PATTERN.test(id) ? envelopes.get(id) ?? null : null;
  }

  function list() {
    return [...envelopes.values()].sort((a, b) => (a.createdAt < b.createdAt ? 1 : a.createdAt > b.createdAt ? -1 : 0));
  }

  function documentPath(id) {
    const meta = get(id);
    if (!meta) return null;
    const path = join(root, id, 'document.pdf');
    return existsSync(path) ? path : null;
  }

  return { add, get, list, documentPath, incomingDir };
}
