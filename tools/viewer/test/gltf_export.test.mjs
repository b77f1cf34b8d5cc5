// The Khronos validator on the tool's .glb output: the example room baked straight to .glb,
// the same bake converted from its mesh file by ketra-gltf, and a furniture model. Errors and
// warnings fail; informational notes (TEXCOORD_0 that no material samples) are allowed.
import test from 'node:test';
import assert from 'node:assert/strict';
import { readdirSync } from 'node:fs';
import { join } from 'node:path';
import { bake, furnitureModel, load, readBytes, removeDir, repoRoot, requirePrerequisites, run, tempDir }
  from './support.mjs';

requirePrerequisites([]);
const validator = load('gltf-validator');

async function validate(path) {
  const report = await validator.validateBytes(readBytes(path), { maxIssues: 0, writeTimestamp: false });
  const serious = report.issues.messages.filter((m) => m.severity <= 1)
    .map((m) => `${m.severity === 0 ? 'error' : 'warning'} ${m.code} at ${m.pointer}: ${m.message}`);
  assert.deepEqual(serious, [], `${path}: the validator reports problems`);
  assert.equal(report.issues.numErrors, 0);
  assert.equal(report.issues.numWarnings, 0);
  return report.info;
}

function pageFiles(dir) {
  return readdirSync(dir).filter((name) => /^Ketra_lightmap_\d+\.png$/.test(name));
}

function meshFileTriangles(path) {
  const text = readBytes(path);
  let lines = 0;
  for (const byte of text) if (byte === 10) lines++;
  return lines / 3;
}

test('example room: a bake straight to .glb and the conversion of its mesh file both validate', async () => {
  const dir = tempDir();
  try {
    const room = join(repoRoot, 'examples', 'room.obj');
    const direct = await validate(bake(room, dir, 'room.glb'));
    const pages = pageFiles(dir).length;
    assert.ok(pages >= 1);
    bake(room, dir, 'room.txt');
    const triangles = meshFileTriangles(join(dir, 'room.txt'));
    assert.equal(direct.totalTriangleCount, triangles, 'every baked triangle is in the .glb');
    assert.equal(direct.drawCallCount, pages, 'one primitive per page');
    assert.equal(direct.resources.filter((r) => r.image).length, pages, 'one embedded image per page');
    assert.equal(direct.maxUVs, 2);

    run([process.env.KETRA_GLTF, join(dir, 'room.txt'), join(dir, 'converted.glb')], dir);
    const converted = await validate(join(dir, 'converted.glb'));
    assert.equal(converted.totalTriangleCount, triangles);
    assert.equal(converted.drawCallCount, pages);
  } finally {
    removeDir(dir);
  }
});

test('furniture model: the dog baked to .glb validates', async (t) => {
  const dog = furnitureModel();
  if (!dog) {
    if (process.env.KETRA_NODE_TESTS_REQUIRED === '1')
      assert.fail('no furniture model (install sweethome3d-furniture and run scripts/prepare_test_data)');
    t.skip('no furniture model (install sweethome3d-furniture and run scripts/prepare_test_data)');
    return;
  }
  const dir = tempDir();
  try {
    // Modelled in centimetres; fewer samples keep the bake short, the export is the same.
    const info = await validate(bake(dog, dir, 'dog.glb', ['-i', '0.01', '-s', '8']));
    assert.ok(info.totalTriangleCount > 1000, `${info.totalTriangleCount} triangles`);
    assert.equal(info.drawCallCount, pageFiles(dir).length);
  } finally {
    removeDir(dir);
  }
});
