// Bundles the viewer and three.js into one HTML file, dist/ketra-viewer.html, that works when
// opened straight from disk: browsers refuse module scripts from file:// pages, so the bundle
// is a classic script placed inside the page itself.
import { build } from 'esbuild';
import { mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
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
const marker = '<script>/*BUNDLE*/</script>';
if (!page.includes(marker)) throw new Error('src/index.html lost its bundle marker');
mkdirSync(join(here, 'dist'), { recursive: true });
const out = join(here, 'dist', 'ketra-viewer.html');
writeFileSync(out, page.replace(marker, () => `<script>${script}</script>`));
console.log(`wrote ${out} (${Math.round(Buffer.byteLength(script) / 1024)} KB of script)`);
