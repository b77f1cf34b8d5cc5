// What the viewer's and the export's node tests share: where things are, baking a scene into a
// .glb with the tool, and a headless Chromium with the viewer page open.
import { spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

export const viewerDir = resolve(dirname(fileURLToPath(import.meta.url)), '..');
export const repoRoot = resolve(viewerDir, '..', '..');
export const chromiumPath = process.env.KETRA_CHROMIUM || '/usr/bin/chromium';
const require = createRequire(join(viewerDir, 'package.json'));

// Exit code that CTest reports as a skip (SKIP_RETURN_CODE).
const skipExitCode = 77;

// Ends the process before any test when something the tests need is missing: a skip with the
// reason, or a failure when the build asked for these tests to run (KETRA_NODE_TESTS=ON).
export function requirePrerequisites(needs) {
  const missing = [];
  for (const variable of ['KETRA_BINARY', 'KETRA_GLTF']) {
    if (!process.env[variable] || !existsSync(process.env[variable]))
      missing.push(`the tool binary in ${variable}`);
  }
  if (!existsSync(join(viewerDir, 'node_modules')))
    missing.push(`npm packages (run "npm ci" in ${viewerDir})`);
  if (needs.includes('chromium') && !existsSync(chromiumPath))
    missing.push(`Chromium at ${chromiumPath} (apt-get install chromium)`);
  if (missing.length === 0) return;
  const required = process.env.KETRA_NODE_TESTS_REQUIRED === '1';
  console.log(`${required ? 'FAILED' : 'SKIPPED'}: missing ${missing.join('; ')}`);
  process.exit(required ? 1 : skipExitCode);
}

export function load(name) {
  return require(name);
}

export function tempDir() {
  return mkdtempSync(join(tmpdir(), 'ketra-node-test-'));
}

export function run(args, cwd) {
  const result = spawnSync(args[0], args.slice(1), { cwd, encoding: 'utf8', input: '' });
  if (result.status !== 0)
    throw new Error(`${args.join(' ')} exited with ${result.status}\n${result.stdout}\n${result.stderr}`);
  return result;
}

// Bakes `obj` into dir/<name>; `extra` are more options of the tool.
export function bake(obj, dir, name, extra = []) {
  run([process.env.KETRA_BINARY, '-f', ...extra, obj, name], dir);
  return join(dir, name);
}

export function readBytes(path) {
  return new Uint8Array(readFileSync(path));
}

export function removeDir(dir) {
  rmSync(dir, { recursive: true, force: true });
}

// The furniture model the export is checked on: unpacked by scripts/prepare_test_data, or the
// copy a developer machine keeps.
export function furnitureModel() {
  const candidates = [join(repoRoot, 'build', 'testdata', 'furniture', 'dog.obj'), '/work/data/dog.obj'];
  return candidates.find((path) => existsSync(path)) || null;
}

// The viewer page bundled from the current sources into a fresh folder, opened in Chromium as
// the tests run it: headless, software WebGL, nothing fetched from the network, a fresh
// profile every time. Returns { page, problems (uncaught page errors), close }.
export async function openViewer(viewport = { width: 960, height: 640 }) {
  const { chromium } = load('playwright-core');
  const { buildViewer } = await import('../build.mjs');
  const bundleDir = tempDir(), profile = tempDir();
  const { out: viewerPage } = await buildViewer(join(bundleDir, 'ketra-viewer.html'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath,
    headless: true,
    viewport,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const page = context.pages()[0] || await context.newPage();
  const problems = [];
  page.on('pageerror', (error) => problems.push(error.message));
  await page.goto('file://' + viewerPage);
  return {
    page,
    problems,
    async close() {
      await context.close();
      removeDir(profile);
      removeDir(bundleDir);
    },
  };
}

// Opens `glb` through the page's file input, as a user would, and waits until it is drawn.
export async function showGlb(viewer, glb) {
  await viewer.page.setInputFiles('#file', glb);
  await viewer.page.waitForFunction(() => (window.ketraViewer.loaded && window.ketraViewer.modelFrames > 0) ||
                                          window.ketraViewer.error, null, { timeout: 120000 });
  const error = await viewer.page.evaluate(() => window.ketraViewer.error);
  if (error) throw new Error(`the viewer could not show ${glb}: ${error}`);
}
