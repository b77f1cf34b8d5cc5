// Bundles the viewer and three.js into one HTML file that works when opened straight from
// disk: browsers refuse module scripts on file:// pages, so the bundle is a classic script
// inside the page itself. `node build.mjs [OUT.html]` writes dist/ketra-viewer.html by default.
import { build } from 'esbuild';
import { mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const marker = '<script>/*BUNDLE*/</script>';

export async function buildViewer(out = join(here, 'dist', 'ketra-viewer.html')) {
  const result = await build({
    entryPoints: [join(here, 'src', 'viewer.js')],
    bundle: true,
    format: 'iife',
    minify: true,
    target: 'es2020',
    legalComments: 'none',
    write: false,
    logLevel: 'warning',
  });
  // A "</script" inside the code would end the inline script early.
  const script = result.outputFiles[0].text.replace(/<\/script/gi, '<\\/script');
  const page = readFileSync(join(here, 'src', 'index.html'), 'utf8');
  if (!page.includes(marker)) throw new Error('src/index.html lost its bundle marker');
  mkdirSync(dirname(resolve(out)), { recursive: true });
  writeFileSync(out, page.replace(marker, () => `<script>${script}</script>`));
  return { out, scriptBytes: Buffer.byteLength(script) };
}

if (process.argv[1] && import.meta.url === pathToFileURL(resolve(process.argv[1])).href) {
  const { out, scriptBytes } = await buildViewer(process.argv[2]);
  console.log(`wrote ${out} (${Math.round(scriptBytes / 1024)} KB of script)`);
}
