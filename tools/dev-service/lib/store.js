// Envelopes received by the development service, kept on disk so that a
// restarted service with the same data folder still shows them.
import { createHash, randomBytes } from 'node:crypto';
import { mkdirSync, readdirSync, readFileSync, writeFileSync, renameSync, existsSync } from 'node:fs';
import { join } from 'node:path';

const ID_PATTERN = /^env_[0-9a-f]{16}$/;

export function createEnvelopeStore(dataDir) {
  const root = join(dataDir, 'envelopes');
  mkdirSync(root, { recursive: true });
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

  function add({ name, flow, fileName, bytes }) {
    let id;
    do id = 'env_' + randomBytes(8).toString('hex'); while (envelopes.has(id));
    const dir = join(root, id);
    mkdirSync(dir);
    writeFileSync(join(dir, 'document.pdf'), bytes);
    const meta = {
      id,
      name,
      flow,
      fileName,
      size: bytes.length,
      sha256: createHash('sha256').update(bytes).digest('hex'),
      createdAt: new Date().toISOString(),
    };
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

  return { add, get, list, documentPath };
}
