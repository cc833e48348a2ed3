// Keeps the service's data out of the program's output folder, where the folder
// watcher would report every stored PDF as a newly printed document.
import { realpathSync } from 'node:fs';
import { basename, dirname, isAbsolute, join, relative, resolve, sep } from 'node:path';

// The program's longest accepted VELUNIO_OUTPUT_DIR, in bytes; it ignores a longer one.
const MAX_OUTPUT_DIR_BYTES = 4095;

// The program's own rule, an empty variable counting as unset.
export function programOutputFolder(env) {
  const explicit = env.VELUNIO_OUTPUT_DIR;
  if (explicit && Buffer.byteLength(explicit) <= MAX_OUTPUT_DIR_BYTES) return resolve(explicit);
  if (env.XDG_DATA_HOME) return resolve(env.XDG_DATA_HOME, 'VelunioPrint');
  if (env.HOME) return resolve(env.HOME, '.local/share/VelunioPrint');
  return resolve('VelunioPrint');
}

// Symbolic links resolved along the part of the path that exists already.
function realPath(path) {
  const rest = [];
  for (let head = path; ; head = dirname(head)) {
    try {
      return join(realpathSync(head), ...rest);
    } catch {
      if (dirname(head) === head) return path;
      rest.unshift(basename(head));
    }
  }
}

// Why `dataDir` will not do as the data folder, or null when it will.
export function dataFolderProblem(dataDir, env) {
  const output = programOutputFolder(env);
  const rel = relative(realPath(output), realPath(resolve(dataDir)));
  if (rel === '..' || rel.startsWith(`..${sep}`) || isAbsolute(rel)) return null;
  return `the data folder ${resolve(dataDir)} is inside the program's output folder ${output}, ` +
    'whose folder watcher would report the stored PDFs as printed documents; choose a folder outside it';
}
