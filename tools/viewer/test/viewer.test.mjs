// The viewer page in headless Chromium with the example room's .glb, opened through its file
// input: the first frame shows the model (not a blank canvas), and floor corners, where two
// walls meet the floor, come out darker than open floor.
import test from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { bake, load, openViewer, removeDir, repoRoot, requirePrerequisites, showGlb, tempDir } from './support.mjs';

requirePrerequisites(['chromium']);
const { PNG } = load('pngjs');

// Points of examples/room.obj (metres, Y up; the room spans x -5..5, z -4..4): floor 0.15 m
// from both walls in each corner, and open floor well away from walls, boxes and columns.
const floorCorners = [[-4.85, 0, -3.85], [4.85, 0, -3.85], [-4.85, 0, 3.85], [4.85, 0, 3.85]];
const openFloor = [-0.5, 0, 0.3];
// Half the side of the square of pixels averaged around a point.
const patch = 3;

function luminance(png, x, y) {
  const i = (png.width * y + x) * 4;
  return 0.2126 * png.data[i] + 0.7152 * png.data[i + 1] + 0.0722 * png.data[i + 2];
}

function meanLuminance(png, cx, cy) {
  let sum = 0, count = 0;
  for (let y = Math.round(cy) - patch; y <= Math.round(cy) + patch; y++) {
    for (let x = Math.round(cx) - patch; x <= Math.round(cx) + patch; x++) {
      sum += luminance(png, x, y);
      count++;
    }
  }
  return sum / count;
}

// Where the point lands on the screen, checked by picking: the model point seen there must be
// the point itself, or something stands in front of it.
async function visiblePixel(page, point) {
  const pixel = await page.evaluate(([x, y, z]) => window.ketraViewer.project(x, y, z), point);
  const seen = await page.evaluate(([x, y]) => window.ketraViewer.pick(x, y), [pixel.x, pixel.y]);
  assert.ok(seen, `nothing is seen at ${JSON.stringify(pixel)} where ${point} should be`);
  const distance = Math.hypot(seen.x - point[0], seen.y - point[1], seen.z - point[2]);
  assert.ok(distance < 0.05, `${point} is hidden: the pixel shows ${JSON.stringify(seen)}`);
  return pixel;
}

test('the example room: a drawn first frame with darker floor corners than open floor', async () => {
  const dir = tempDir();
  const viewer = await openViewer();
  try {
    const glb = bake(join(repoRoot, 'examples', 'room.obj'), dir, 'room.glb');
    await showGlb(viewer, glb);
    const png = PNG.sync.read(await viewer.page.screenshot());

    // Not blank: a large part of the picture is lit model, with shades across it.
    const background = luminance(png, 2, png.height - 3);
    let lit = 0, sum = 0, sumSquares = 0;
    for (let y = 0; y < png.height; y++) {
      for (let x = 0; x < png.width; x++) {
        const l = luminance(png, x, y);
        if (l > background + 60) lit++;
        sum += l;
        sumSquares += l * l;
      }
    }
    const pixels = png.width * png.height;
    const deviation = Math.sqrt(sumSquares / pixels - (sum / pixels) ** 2);
    assert.ok(lit > pixels * 0.2, `only ${lit} of ${pixels} pixels show the model`);
    assert.ok(deviation > 20, `the picture is nearly uniform (deviation ${deviation.toFixed(1)})`);

    const open = await visiblePixel(viewer.page, openFloor);
    const openShade = meanLuminance(png, open.x, open.y);
    for (const corner of floorCorners) {
      const at = await visiblePixel(viewer.page, corner);
      const shade = meanLuminance(png, at.x, at.y);
      assert.ok(shade < openShade - 20,
                `corner ${corner} (${shade.toFixed(1)}) is not darker than open floor (${openShade.toFixed(1)})`);
    }
    assert.deepEqual(viewer.problems, [], 'the page reported errors');
  } finally {
    await viewer.close();
    removeDir(dir);
  }
});
