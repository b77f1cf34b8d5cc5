// Shows a baked .glb lit only by its ambient occlusion: every surface is plain white times the
// occlusion texture of its material, the way an engine applies baked occlusion to ambient light.
import * as THREE from 'three';
import { GLTFLoader } from 'three/addons/loaders/GLTFLoader.js';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';

const canvas = document.getElementById('view');
const statusLine = document.getElementById('status');
const fileInput = document.getElementById('file');

// The name of the WebGL renderer, when the browser tells it.
function rendererName() {
  const gl = document.createElement('canvas').getContext('webgl2');
  if (!gl) return '';
  const debug = gl.getExtension('WEBGL_debug_renderer_info');
  const name = String(gl.getParameter(debug ? debug.UNMASKED_RENDERER_WEBGL : gl.RENDERER));
  gl.getExtension('WEBGL_lose_context')?.loseContext();
  return name;
}

// Without a GPU (virtual machines, remote desktops, headless browsers) WebGL runs on the
// processor, where multisampling makes a frame of a furnished room take several times longer:
// there jagged edges are the better trade.
const softwareRendering = /swiftshader|llvmpipe|softpipe|software/i.test(rendererName());
// preserveDrawingBuffer keeps the last frame readable for screenshots and checks between frames.
let renderer;
try {
  renderer = new THREE.WebGLRenderer({ canvas, antialias: !softwareRendering, preserveDrawingBuffer: true });
} catch (error) {
  setStatus(`This browser cannot draw with WebGL 2, which the viewer needs (${error.message || error}).`, true);
  fileInput.disabled = true;
  throw error;
}
renderer.setPixelRatio(window.devicePixelRatio);
renderer.setClearColor(0x1d2024);

const scene = new THREE.Scene();
const camera = new THREE.PerspectiveCamera(45, 1, 0.01, 1000);
const controls = new OrbitControls(camera, canvas);
let model = null;
let frames = 0, modelFrames = 0;  // frames drawn, in all and since the current model came

function render() {
  renderer.render(scene, camera);
  frames++;
  if (model) modelFrames++;
}

// Frames are drawn on demand: only a moving camera, a resize or a new model needs one.
let framePending = false;
function requestFrame() {
  if (framePending) return;
  framePending = true;
  requestAnimationFrame(() => {
    framePending = false;
    render();
  });
}

function resize() {
  const width = canvas.clientWidth, height = canvas.clientHeight;
  renderer.setSize(width, height, false);
  camera.aspect = width / Math.max(height, 1);
  camera.updateProjectionMatrix();
  requestFrame();
}

function setStatus(text, isError = false) {
  statusLine.textContent = text;
  statusLine.classList.toggle('error', isError);
}

// Occlusion only: the glTF material's occlusion texture (on its own texture coordinates, which
// the loader keeps as the texture's channel) over a white, unlit surface.
function occlusionOnly(material) {
  const shown = new THREE.MeshBasicMaterial({ color: 0xffffff, aoMap: material.aoMap, side: material.side });
  shown.name = material.name;
  return shown;
}

function disposeModel() {
  if (!model) return;
  scene.remove(model);
  model.traverse((object) => {
    if (!object.isMesh) return;
    object.geometry.dispose();
    if (object.material.aoMap) object.material.aoMap.dispose();
    object.material.dispose();
  });
  model = null;
}

function countTriangles(root) {
  let triangles = 0, vertices = 0, pages = 0;
  root.traverse((object) => {
    if (!object.isMesh) return;
    const geometry = object.geometry;
    triangles += (geometry.index ? geometry.index.count : geometry.attributes.position.count) / 3;
    vertices += geometry.attributes.position.count;
    if (object.material.aoMap) pages++;
  });
  return { triangles, vertices, pages };
}

// Looks at the whole model from above and in front, far enough for its bounding sphere.
function frameModel(root) {
  const box = new THREE.Box3().setFromObject(root);
  const sphere = box.getBoundingSphere(new THREE.Sphere());
  const radius = Math.max(sphere.radius, 1e-3);
  const distance = (radius / Math.sin(THREE.MathUtils.degToRad(camera.fov / 2))) * 1.05;
  const direction = new THREE.Vector3(0.45, 0.8, 1.0).normalize();
  camera.position.copy(sphere.center).addScaledVector(direction, distance);
  camera.near = distance / 1000;
  camera.far = distance * 10;
  camera.updateProjectionMatrix();
  controls.target.copy(sphere.center);
  controls.update();
}

async function showGlb(buffer, name) {
  setStatus(`Loading ${name}…`);
  let gltf;
  try {
    gltf = await new GLTFLoader().parseAsync(buffer, '');
  } catch (error) {
    setStatus(`Cannot show ${name}: ${error.message || error}`, true);
    window.ketraViewer.error = String(error.message || error);
    return;
  }
  disposeModel();
  model = gltf.scene;
  model.traverse((object) => {
    if (object.isMesh) {
      const original = object.material;
      object.material = occlusionOnly(original);
      original.dispose();
    }
  });
  scene.add(model);
  modelFrames = 0;
  frameModel(model);
  const counts = countTriangles(model);
  setStatus(`${name}\n${counts.triangles.toLocaleString('en')} triangles, ` +
            `${counts.vertices.toLocaleString('en')} vertices, ${counts.pages} lightmap page(s)` +
            (softwareRendering ? '\nsoftware rendering: antialiasing off' : ''));
  window.ketraViewer.loaded = name;
  window.ketraViewer.error = null;
  requestFrame();
}

function openFile(file) {
  if (!file) return;
  file.arrayBuffer().then((buffer) => showGlb(buffer, file.name),
                          (error) => setStatus(`Cannot read ${file.name}: ${error}`, true));
}

fileInput.addEventListener('change', () => openFile(fileInput.files[0]));
window.addEventListener('dragover', (event) => {
  event.preventDefault();
  document.body.classList.add('dragging');
});
window.addEventListener('dragleave', () => document.body.classList.remove('dragging'));
window.addEventListener('drop', (event) => {
  event.preventDefault();
  document.body.classList.remove('dragging');
  openFile(event.dataTransfer.files[0]);
});
controls.addEventListener('change', requestFrame);
window.addEventListener('resize', resize);

// Hooks for automated checks of what the page shows; coordinates are CSS pixels of the canvas.
window.ketraViewer = {
  loaded: null,
  error: null,
  softwareRendering,
  get frames() { return frames; },
  get modelFrames() { return modelFrames; },
  // Where a model point appears on the canvas.
  project(x, y, z) {
    const p = new THREE.Vector3(x, y, z).project(camera);
    return { x: (p.x + 1) / 2 * canvas.clientWidth, y: (1 - p.y) / 2 * canvas.clientHeight };
  },
  // The model point seen at a canvas pixel, or null.
  pick(x, y) {
    if (!model) return null;
    const ndc = new THREE.Vector2(x / canvas.clientWidth * 2 - 1, 1 - y / canvas.clientHeight * 2);
    const raycaster = new THREE.Raycaster();
    raycaster.setFromCamera(ndc, camera);
    const hit = raycaster.intersectObject(model, true)
      .find((h) => h.face && h.face.normal.clone().transformDirection(h.object.matrixWorld)
        .dot(raycaster.ray.direction) < 0);  // back faces are not drawn, so they hide nothing
    return hit ? { x: hit.point.x, y: hit.point.y, z: hit.point.z } : null;
  },
  // Renders `count` frames one after another, each read back so that it is finished before the
  // clock stops; returns the milliseconds of every frame.
  measureFrames(count) {
    const gl = renderer.getContext();
    const pixel = new Uint8Array(4);
    const times = [];
    for (let i = 0; i < count; i++) {
      const start = performance.now();
      render();
      gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, pixel);
      times.push(performance.now() - start);
    }
    return times;
  },
};

resize();
