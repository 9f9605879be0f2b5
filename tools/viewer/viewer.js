// vizor view: the page's logic. Fetches the newest frame by long poll (one
// request at a time, so a slow tab simply skips frames), draws the coloured
// distance image with its colour bar, the gray image and the point cloud, shows
// the readout under the mouse and the capture statistics, and sends the
// controls to the server.
'use strict';

const HEADER_WORDS = 16;
const $ = (id) => document.getElementById(id);

// What the page has seen; the browser tests read it.
const vizor = window.vizor = { frames: 0, seq: 0, skipped: 0, width: 0, height: 0, points: 0,
                               intg: 0, webgl: false, last: null, errors: 0 };

// ---- frame record (see view.h) --------------------------------------------------------

function parseFrame(buf) {
  const hw = new Uint32Array(buf, 0, HEADER_WORDS), hf = new Float32Array(buf, 0, HEADER_WORDS);
  const hi = new Int32Array(buf, 0, HEADER_WORDS);
  if (hw[0] !== 0x31565a56) throw new Error('not a frame');
  const f = { seq: hw[1], w: hw[2], h: hw[3], points: hw[4], lo: hf[5], hi: hf[6], fps: hf[7],
              discarded: hw[8], errors: hw[9], lastError: hi[10], white: hf[11], intg: hw[12],
              flags: hw[13], recorded: hw[14] };
  const n = f.w * f.h;
  let off = HEADER_WORDS * 4;
  f.bar = new Uint8Array(buf, off, 768); off += 768;
  f.rgb = new Uint8Array(buf, off, n * 3); off += (n * 3 + 3) & ~3;
  f.dist = new Float32Array(buf, off, n); off += n * 4;
  f.gray = new Float32Array(buf, off, n); off += n * 4;
  f.xyz = new Float32Array(buf, off, f.points * 3); off += f.points * 12;
  f.xyzRgb = new Uint8Array(buf, off, f.points * 3);
  return f;
}

// ---- images ------------------------------------------------------------------------------

function drawRgb(canvas, w, h, rgb) {
  if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
  const ctx = canvas.getContext('2d'), img = ctx.createImageData(w, h), d = img.data;
  for (let i = 0, j = 0; i < w * h; i++, j += 3) {
    d[4 * i] = rgb[j]; d[4 * i + 1] = rgb[j + 1]; d[4 * i + 2] = rgb[j + 2]; d[4 * i + 3] = 255;
  }
  ctx.putImageData(img, 0, 0);
}

function drawGray(canvas, w, h, gray, white) {
  if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
  const ctx = canvas.getContext('2d'), img = ctx.createImageData(w, h), d = img.data;
  const k = white > 0 ? 255 / white : 0;
  for (let i = 0; i < w * h; i++) {
    const v = Math.max(0, Math.min(255, gray[i] * k || 0));
    d[4 * i] = d[4 * i + 1] = d[4 * i + 2] = v; d[4 * i + 3] = 255;
  }
  ctx.putImageData(img, 0, 0);
}

function drawBar(f) {
  const c = $('bar'), ctx = c.getContext('2d'), img = ctx.createImageData(256, 1);
  for (let i = 0; i < 256; i++) {
    img.data[4 * i] = f.bar[3 * i]; img.data[4 * i + 1] = f.bar[3 * i + 1];
    img.data[4 * i + 2] = f.bar[3 * i + 2]; img.data[4 * i + 3] = 255;
  }
  for (let y = 0; y < c.height; y++) ctx.putImageData(img, 0, y);
  $('lo').textContent = f.lo.toFixed(2);
  $('hi').textContent = f.hi.toFixed(2);
}

// ---- point cloud ----------------------------------------------------------------------------

const cloud = { el: $('cloud'), renderer: null, ctx2d: null, scene: null, camera: null,
                geom: null, pos: null, col: null, cap: 0, controls: null, last: null };

function initCloud() {
  const el = cloud.el, w = el.clientWidth || 480, h = el.clientHeight || 360;
  cloud.camera = new THREE.PerspectiveCamera(60, w / h, 0.01, 100);
  cloud.camera.position.set(0, 0.4, 1.0);
  try {
    cloud.renderer = new THREE.WebGLRenderer({ antialias: false, preserveDrawingBuffer: true });
    cloud.renderer.setSize(w, h);
    el.appendChild(cloud.renderer.domElement);
    vizor.webgl = true;
  } catch (e) {
    // No WebGL (a browser without a GPU path): points drawn on a 2D canvas.
    const c = document.createElement('canvas');
    c.width = w; c.height = h;
    el.appendChild(c);
    cloud.ctx2d = c.getContext('2d');
  }
  cloud.canvas = el.querySelector('canvas');
  cloud.scene = new THREE.Scene();
  cloud.scene.background = new THREE.Color(0x000000);
  cloud.geom = new THREE.BufferGeometry();
  const mat = new THREE.PointsMaterial({ size: 2, sizeAttenuation: false, vertexColors: THREE.VertexColors });
  cloud.points = new THREE.Points(cloud.geom, mat);
  cloud.points.rotation.x = Math.PI;  // camera frame (y down, z ahead) to the view's (y up, z back)
  cloud.scene.add(cloud.points);
  cloud.controls = new THREE.OrbitControls(cloud.camera, cloud.canvas);
  cloud.controls.target.set(0, 0, -2);
  cloud.controls.addEventListener('change', renderCloud);
  cloud.controls.update();
}

function updateCloud(f) {
  if (f.points > cloud.cap) {
    cloud.cap = f.w * f.h;
    cloud.pos = new Float32Array(cloud.cap * 3);
    cloud.col = new Uint8Array(cloud.cap * 3);
    cloud.geom.setAttribute('position', new THREE.BufferAttribute(cloud.pos, 3));
    cloud.geom.setAttribute('color', new THREE.BufferAttribute(cloud.col, 3, true));
  }
  if (cloud.pos) {
    cloud.pos.set(f.xyz);
    cloud.col.set(f.xyzRgb);
    cloud.geom.attributes.position.needsUpdate = true;
    cloud.geom.attributes.color.needsUpdate = true;
    cloud.geom.setDrawRange(0, f.points);
    cloud.geom.computeBoundingSphere();
  }
  cloud.last = f;
  renderCloud();
}

function renderCloud() {
  if (cloud.renderer) { cloud.renderer.render(cloud.scene, cloud.camera); return; }
  const f = cloud.last, ctx = cloud.ctx2d, c = ctx.canvas;
  ctx.fillStyle = '#000'; ctx.fillRect(0, 0, c.width, c.height);
  if (!f) return;
  cloud.points.updateMatrixWorld();
  const v = new THREE.Vector3(), m = cloud.points.matrixWorld;
  for (let i = 0; i < f.points; i += 2) {
    v.set(f.xyz[3 * i], f.xyz[3 * i + 1], f.xyz[3 * i + 2]).applyMatrix4(m).project(cloud.camera);
    if (v.z < -1 || v.z > 1) continue;
    ctx.fillStyle = `rgb(${f.xyzRgb[3 * i]},${f.xyzRgb[3 * i + 1]},${f.xyzRgb[3 * i + 2]})`;
    ctx.fillRect((v.x + 1) * c.width / 2, (1 - v.y) * c.height / 2, 2, 2);
  }
}

// Pixels of the point-cloud view that are not background (for the tests).
window.vizorCloudPixels = function () {
  const src = cloud.canvas, c = document.createElement('canvas');
  c.width = src.width; c.height = src.height;
  const ctx = c.getContext('2d');
  ctx.drawImage(src, 0, 0);
  const d = ctx.getImageData(0, 0, c.width, c.height).data;
  let lit = 0;
  for (let i = 0; i < d.length; i += 4) if (d[i] + d[i + 1] + d[i + 2] > 30) lit++;
  return lit;
};

// ---- readout and statistics -------------------------------------------------------------------

function readout(ev) {
  const f = vizor.last;
  if (!f) return;
  const r = ev.target.getBoundingClientRect();
  const x = Math.floor((ev.clientX - r.left) * f.w / r.width), y = Math.floor((ev.clientY - r.top) * f.h / r.height);
  if (x < 0 || y < 0 || x >= f.w || y >= f.h) return;
  const d = f.dist[y * f.w + x], a = f.gray[y * f.w + x];
  const ds = d > 0 && d < 60 ? d.toFixed(3) + ' m' : 'invalid';
  $('readout').textContent = `(${x}, ${y}) distance ${ds}, amplitude ${a.toFixed(1)}`;
}
$('dist').addEventListener('mousemove', readout);
$('gray').addEventListener('mousemove', readout);

function showStats(f) {
  $('fps').textContent = f.fps > 0 ? f.fps.toFixed(1) : '-';
  $('frames').textContent = vizor.frames;
  $('dropped').textContent = `${f.discarded} camera, ${vizor.skipped} skipped here`;
  $('errors').textContent = f.errors + (f.lastError ? ` (last ${f.lastError})` : '');
  $('record').textContent = f.flags & 2 ? `Stop recording (${f.recorded})` : 'Record';
  // The box follows the camera only when the camera's value changes, so
  // typing into it is never overwritten.
  if (f.intg && f.intg !== vizor.shownIntg) { $('intg').value = f.intg; vizor.shownIntg = f.intg; }
}

// ---- frame loop -----------------------------------------------------------------------------

async function frameLoop() {
  for (;;) {
    try {
      const r = await fetch(`api/frame?after=${vizor.seq}`, { cache: 'no-store' });
      if (r.status === 204) { $('conn').textContent = 'waiting for frames'; continue; }
      if (!r.ok) throw new Error(`HTTP ${r.status}`);
      const f = parseFrame(await r.arrayBuffer());
      if (vizor.seq && f.seq > vizor.seq + 1) vizor.skipped += f.seq - vizor.seq - 1;
      vizor.seq = f.seq; vizor.frames++; vizor.width = f.w; vizor.height = f.h;
      vizor.points = f.points; vizor.last = f;
      $('conn').textContent = f.flags & 1 ? 'live' : 'stopped';
      drawRgb($('dist'), f.w, f.h, f.rgb);
      drawGray($('gray'), f.w, f.h, f.gray, f.white);
      drawBar(f);
      updateCloud(f);
      showStats(f);
      vizor.intg = f.intg;
    } catch (e) {
      vizor.errors++;
      $('conn').textContent = 'disconnected: ' + e.message;
      await new Promise((res) => setTimeout(res, 1000));
    }
  }
}

// ---- controls ---------------------------------------------------------------------------------

async function control(params) {
  const body = new URLSearchParams(params);
  const r = await fetch('api/control', { method: 'POST', body });
  const j = await r.json();
  const m = $('msg');
  m.className = j.ok ? '' : 'err';
  m.textContent = j.ok ? (j.files ? 'wrote ' + j.files.join(', ') : j.file ? 'file ' + j.file : 'done')
                       : j.error;
  return j;
}
window.vizorControl = control;

$('start').onclick = () => control({ op: 'start' });
$('stop').onclick = () => control({ op: 'stop' });
$('snapshot').onclick = () => control({ op: 'snapshot' });
$('record').onclick = () => control({ op: 'record', on: vizor.last && vizor.last.flags & 2 ? '0' : '1' });
$('intg-set').onclick = () => control({ op: 'intg', value: $('intg').value });
$('undistort').onchange = (e) => control({ op: 'filter', which: 'undistort', on: e.target.checked ? '1' : '0' });
$('minamp-on').onchange = (e) => control({ op: 'filter', which: 'min_amplitude', on: e.target.checked ? '1' : '0', value: $('minamp').value });
$('autointg-on').onchange = (e) => control({ op: 'filter', which: 'auto_integration', on: e.target.checked ? '1' : '0', value: $('autointg').value });
$('flying').onchange = (e) => control({ op: 'filter', which: 'flying_pixels', on: e.target.checked ? '1' : '0' })
  .then(showFlying);
$('range-set').onclick = () => control({ op: 'range', lo: $('range-lo').value, hi: $('range-hi').value });
// The chip's frequencies in MHz with the current one selected, and whether a
// DRNU calibration of the camera fits it.
function showEpc(s) {
  if (!s.modfreqs_khz) return;
  const sel = $('modfreq');
  sel.replaceChildren(...s.modfreqs_khz.map((khz, i) => {
    const o = document.createElement('option');
    o.value = String(i);
    o.textContent = `${khz / 1000} MHz`;
    return o;
  }));
  sel.value = String(s.modfreq_index);
  $('calib-state').textContent = s.calibration_khz
    ? `calibrated at ${s.calibration_khz / 1000} MHz` : `uncalibrated at ${s.khz / 1000} MHz`;
}
$('modfreq-set').onclick = async () => {
  const j = await control({ op: 'modfreq', index: $('modfreq').value });
  if (j.ok) showEpc(j);
};
$('roi-set').onclick = () => control({ op: 'roi', x1: $('roi-x1').value, x2: $('roi-x2').value, y1: $('roi-y1').value, y2: $('roi-y2').value });
$('bin-set').onclick = () => control({ op: 'binning', h: $('bin-h').checked ? '1' : '0', v: $('bin-v').checked ? '1' : '0' });

// The flying-pixel checkbox and its note as the server has them.
async function showFlying() {
  const s = await (await fetch('api/state')).json();
  $('flying').checked = s.flying_pixels > 0;
  $('flying-note').textContent = s.flying_pixels > 0
    ? `on (${s.flying_pixels} m): points straddling a depth edge are left out`
    : 'off: every pixel becomes a point';
}

async function init() {
  initCloud();
  try {
    const s = await (await fetch('api/state')).json();
    $('source').textContent = s.source + (s.driver ? ` (driver ${s.driver})` : '');
    document.querySelector('fieldset.epc').disabled = !s.epc;
    showEpc(s);
    for (const el of document.querySelectorAll('.cam input, .cam button')) el.disabled = !s.camera;
    $('undistort').checked = s.undistort;
    showFlying();
    if (s.intg_us) $('intg').value = s.intg_us;
  } catch (e) { /* the frame loop reports a lost server */ }
  frameLoop();
}
init();
