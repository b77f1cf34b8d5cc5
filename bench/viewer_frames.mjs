// Frame time of the viewer page in headless Chromium (software WebGL, as in the tests):
//   node bench/viewer_frames.mjs FILE.glb [--frames N] [--size WxH] [--screenshot OUT.png]
// Needs the viewer's npm packages (scripts/viewer) and Debian's chromium. Opens FILE.glb through
// the page's file input, then draws N frames (default 20) of the opening view, each read back
// before the clock stops. Prints the renderer kind, the model's size and frame_ms_median / min / max.
import { writeFileSync } from 'node:fs';
import { resolve } from 'node:path';
import { openViewer, showGlb } from '../tools/viewer/test/support.mjs';

const args = process.argv.slice(2);
const option = (name, fallback) => {
  const at = args.indexOf(name);
  return at >= 0 && at + 1 < args.length ? args.splice(at, 2)[1] : fallback;
};
const frames = Number(option('--frames', '20'));
const [width, height] = option('--size', '960x640').split('x').map(Number);
const screenshot = option('--screenshot', null);
if (args.length !== 1) {
  console.error('usage: node bench/viewer_frames.mjs FILE.glb [--frames N] [--size WxH] [--screenshot OUT.png]');
  process.exit(1);
}

const viewer = await openViewer({ width, height });
try {
  const started = performance.now();
  await showGlb(viewer, resolve(args[0]));
  const loadMs = performance.now() - started;
  if (screenshot) writeFileSync(screenshot, await viewer.page.screenshot());
  const result = await viewer.page.evaluate((n) => ({
    software: window.ketraViewer.softwareRendering,
    status: document.getElementById('status').textContent,
    times: window.ketraViewer.measureFrames(n),
  }), frames);
  const sorted = [...result.times].sort((a, b) => a - b);
  const half = sorted.length >> 1;
  const median = sorted.length % 2 ? sorted[half] : (sorted[half - 1] + sorted[half]) / 2;
  console.log(`model: ${result.status.split('\n').slice(0, 2).join(', ')}`);
  console.log(`software_rendering: ${result.software}`);
  console.log(`viewport: ${width}x${height}`);
  console.log(`load_and_first_frame_ms: ${loadMs.toFixed(0)}`);
  console.log(`frames: ${frames}`);
  console.log(`frame_ms_median: ${median.toFixed(1)}`);
  console.log(`frame_ms_min: ${sorted[0].toFixed(1)}`);
  console.log(`frame_ms_max: ${sorted[sorted.length - 1].toFixed(1)}`);
} finally {
  await viewer.close();
}
