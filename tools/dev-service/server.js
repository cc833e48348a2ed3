#!/usr/bin/env node
// Starts the development signing service:
//   node server.js [--port N] [--data DIR] [--token-ttl SECONDS] [--quiet]
import { mkdtempSync, mkdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { parseArgs } from 'node:util';
import { createService } from './lib/service.js';
import { dataFolderProblem } from './lib/data-folder.js';

function fail(message) {
  process.stderr.write(`dev-service: ${message}\n`);
  process.exit(2);
}

let options;
try {
  ({ values: options } = parseArgs({
    options: {
      port: { type: 'string' },
      data: { type: 'string' },
      'token-ttl': { type: 'string' },
      quiet: { type: 'boolean', default: false },
    },
  }));
} catch (e) {
  fail(e.message);
}

const portText = options.port ?? process.env.VELUNIO_DEV_SERVICE_PORT ?? '8640';
const port = Number(portText);
if (!/^\d+$/.test(portText) || port > 65535) fail(`invalid port "${portText}"`);
const ttlText = options['token-ttl'] ?? process.env.VELUNIO_DEV_SERVICE_TOKEN_TTL ?? '3600';
const tokenTtlSeconds = Number(ttlText);
if (!/^\d+$/.test(ttlText) || tokenTtlSeconds < 1) fail(`invalid token lifetime "${ttlText}"`);

const dataOption = options.data ?? process.env.VELUNIO_DEV_SERVICE_DATA;
const problem = dataFolderProblem(dataOption ? dataOption : tmpdir(), process.env);
if (problem) fail(problem);
let dataDir;
let temporary = false;
if (dataOption) {
  dataDir = resolve(dataOption);
  mkdirSync(dataDir, { recursive: true });
} else {
  dataDir = mkdtempSync(join(tmpdir(), 'velunio-dev-service-'));
  temporary = true;
}

const log = options.quiet ? () => {} : (line) => process.stderr.write(`[dev-service] ${line}\n`);
const service = createService({ dataDir, tokenTtlSeconds, log });

let chosen;
try {
  chosen = await service.listen(port);
} catch (e) {
  fail(`cannot listen on 127.0.0.1:${port}: ${e.message}`);
}
let stopping = false;
async function stop() {
  if (stopping) return;
  stopping = true;
  await service.close();
  if (temporary) rmSync(dataDir, { recursive: true, force: true });
  process.exit(0);
}
process.on('SIGTERM', stop);
process.on('SIGINT', stop);

// Announced only once a stop signal is handled, so a caller may stop it right away.
log(`data folder ${dataDir}`);
process.stdout.write(`dev-service listening on http://127.0.0.1:${chosen}\n`);

