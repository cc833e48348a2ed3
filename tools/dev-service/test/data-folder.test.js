import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, rmSync, symlinkSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { dataFolderProblem } from '../lib/data-folder.js';

const top = join(dirname(fileURLToPath(import.meta.url)), '..', '..', '..');
let root;
before(() => {
  root = mkdtempSync(join(tmpdir(), 'dev-service-folders-'));
  mkdirSync(join(root, 'out'));
  symlinkSync(join(root, 'out'), join(root, 'link'));
});
after(() => rmSync(root, { recursive: true, force: true }));

test('a data folder inside the program\'s output folder is refused, by the program\'s rule', () => {
  const cases = [
    [{ VELUNIO_OUTPUT_DIR: 'out' }, 'out/dev', true],
    [{ VELUNIO_OUTPUT_DIR: 'out' }, 'out', true],
    [{ VELUNIO_OUTPUT_DIR: 'out' }, 'out2/dev', false],
    [{ VELUNIO_OUTPUT_DIR: 'out' }, 'link/dev', true],
    [{ VELUNIO_OUTPUT_DIR: '', XDG_DATA_HOME: '.', HOME: '/nowhere' }, 'VelunioPrint/dev-service', true],
    [{ HOME: '.' }, '.local/share/VelunioPrint/dev-service', true],
    [{ HOME: '.' }, '.local/state/velunio-dev-service', false],
    [{ VELUNIO_OUTPUT_DIR: `/${'x'.repeat(4095)}`, HOME: '.' }, '.local/share/VelunioPrint/x', true],
  ];
  for (const [env, dir, refused] of cases) {
    const absolute = Object.fromEntries(Object.entries(env).map(([k, v]) => [k, v && !v.startsWith('/') ? join(root, v) : v]));
    assert.equal(dataFolderProblem(join(root, dir), absolute) !== null, refused, `${dir} ${JSON.stringify(env).slice(0, 60)}`);
  }
  const run = spawnSync(process.execPath, [join(top, 'tools/dev-service/server.js'), '--data', join(root, 'out/dev')],
    { env: { ...process.env, VELUNIO_OUTPUT_DIR: join(root, 'out') }, encoding: 'utf8', timeout: 10000 });
  assert.equal(run.status, 2);
  assert.match(run.stderr, /inside the program's output folder .*out, whose folder watcher would report the stored PDFs/);
  assert.equal(existsSync(join(root, 'out/dev')), false);
});

test('scripts/run keeps the data outside the output folder and moves an old folder out of it', () => {
  const home = join(root, 'home');
  const script = (call, env = {}) => spawnSync('bash', ['-c', `. "${top}/scripts/dev-service-data.sh"; ${call}`],
    { env: { PATH: process.env.PATH, HOME: home, ...env }, encoding: 'utf8' });
  for (const env of [{}, { XDG_STATE_HOME: join(root, 'state') }, { XDG_DATA_HOME: root }, { VELUNIO_OUTPUT_DIR: join(root, 'out') }]) {
    const dir = script('dev_service_data_dir', env).stdout.trim();
    assert.equal(dataFolderProblem(dir, { HOME: home, ...env }), null, dir);
  }
  const old = join(home, '.local/share/VelunioPrint/dev-service');
  const envelope = 'envelopes/env_0123456789abcdef';
  mkdirSync(join(old, envelope), { recursive: true });
  script('move_old_dev_service_data');
  const moved = script('dev_service_data_dir').stdout.trim();
  assert.deepEqual([existsSync(join(moved, envelope)), existsSync(old)], [true, false]);
  // With data in both places nothing is overwritten; the old folder is named for removal.
  mkdirSync(old);
  assert.match(script('move_old_dev_service_data').stderr, /velunio-dev-service\. Remove the old folder/);
  assert.deepEqual([existsSync(join(moved, envelope)), existsSync(old)], [true, true]);
});
