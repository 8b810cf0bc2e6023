// Quillmar's blocks page: Blockly's workspace, the program lines the server compiles from it,
// the preview of where the arm will end, and the run driven over the page's socket. The page
// never times a motor: it sends the lines, and the arm session runs them.
'use strict';

const texts = {
  en: {
    program: 'Program', base: 'Base: turn %1 for %2 s', left: 'left', right: 'right',
    shoulder: 'Shoulder: %1 for %2 s', elbow: 'Elbow: %1 for %2 s', wrist: 'Wrist: %1 for %2 s',
    up: 'up', down: 'down', gripper: 'Gripper: %1 for %2 s', close: 'close', open: 'open',
    light: 'Light %1', on: 'on', off: 'off', go_to: 'Go to pose %1', no_poses: '(no poses)',
    back: 'Back to start', note: 'Note: %1', note_tip: 'A line that will not run',
    c_base: 'Base', c_shoulder: 'Shoulder', c_elbow: 'Elbow', c_wrist: 'Wrist',
    c_gripper: 'Gripper', c_light: 'Light', c_repeat: 'Repeat', c_poses: 'Poses',
    c_notes: 'Notes', Run: 'Run', Reverse: 'Reverse', Step: 'Step', Stop: 'Stop',
    Open: 'Open', 'Save blocks': 'Save blocks', 'Export .rob': 'Export .rob', Print: 'Print',
    lines: 'Program lines', end: 'Where the arm will end', warnings: 'Warnings',
    time: 'The run takes %1 s.', running: 'Running', stopped: 'Stopped', done: 'Done',
    stopped_user: 'Stopped at the arm', connecting: 'Connecting…', closed: 'The page lost Quillmar: reload it.',
    not_run: 'This line will not run.', loose: 'Blocks not under Program do not run.',
  },
  de: {
    program: 'Programm', base: 'Drehteller: %1 drehen, %2 s', left: 'links', right: 'rechts',
    shoulder: 'Schulter: %1, %2 s', elbow: 'Ellbogen: %1, %2 s', wrist: 'Handgelenk: %1, %2 s',
    up: 'hoch', down: 'runter', gripper: 'Greifer: %1, %2 s', close: 'schließen', open: 'öffnen',
    light: 'Licht %1', on: 'an', off: 'aus', go_to: 'Fahre zur Haltung %1',
    no_poses: '(keine Haltungen)', back: 'Zurück zum Start', note: 'Notiz: %1',
    note_tip: 'Eine Zeile, die nicht läuft',
    c_base: 'Drehteller', c_shoulder: 'Schulter', c_elbow: 'Ellbogen', c_wrist: 'Handgelenk',
    c_gripper: 'Greifer', c_light: 'Licht', c_repeat: 'Wiederholen', c_poses: 'Haltungen',
    c_notes: 'Notizen', Run: 'Start', Reverse: 'Rückwärts', Step: 'Schritt', Stop: 'Stopp',
    Open: 'Öffnen', 'Save blocks': 'Blöcke speichern', 'Export .rob': '.rob exportieren',
    Print: 'Drucken', lines: 'Programmzeilen', end: 'Wo der Arm endet', warnings: 'Warnungen',
    time: 'Der Lauf dauert %1 s.', running: 'Läuft', stopped: 'Gestoppt', done: 'Fertig',
    stopped_user: 'Am Arm gestoppt', connecting: 'Verbinde…',
    closed: 'Die Seite hat Quillmar verloren: bitte neu laden.',
    not_run: 'Diese Zeile läuft nicht.', loose: 'Blöcke außerhalb von Programm laufen nicht.',
  },
  fr: {
    program: 'Programme', base: 'Base : tourner à %1 pendant %2 s', left: 'gauche',
    right: 'droite', shoulder: 'Épaule : %1 pendant %2 s', elbow: 'Coude : %1 pendant %2 s',
    wrist: 'Poignet : %1 pendant %2 s', up: 'monter', down: 'descendre',
    gripper: 'Pince : %1 pendant %2 s', close: 'fermer', open: 'ouvrir', light: 'Lumière %1',
    on: 'allumée', off: 'éteinte', go_to: 'Aller à la pose %1', no_poses: '(aucune pose)',
    back: 'Retour au départ', note: 'Note : %1', note_tip: 'Une ligne qui ne s’exécute pas',
    c_base: 'Base', c_shoulder: 'Épaule', c_elbow: 'Coude', c_wrist: 'Poignet',
    c_gripper: 'Pince', c_light: 'Lumière', c_repeat: 'Répéter', c_poses: 'Poses',
    c_notes: 'Notes', Run: 'Lancer', Reverse: 'À l’envers', Step: 'Pas à pas', Stop: 'Stop',
    Open: 'Ouvrir', 'Save blocks': 'Enregistrer les blocs', 'Export .rob': 'Exporter .rob',
    Print: 'Imprimer', lines: 'Lignes du programme', end: 'Où le bras finira',
    warnings: 'Avertissements', time: 'Le programme dure %1 s.', running: 'En cours',
    stopped: 'Arrêté', done: 'Terminé', stopped_user: 'Arrêté au bras',
    connecting: 'Connexion…', closed: 'La page a perdu Quillmar : rechargez-la.',
    not_run: 'Cette ligne ne s’exécute pas.', loose: 'Les blocs hors de Programme ne s’exécutent pas.',
  },
};

const language =
  (navigator.languages || [navigator.language]).map((l) => l.slice(0, 2)).find((l) => texts[l]) ||
  'en';
const T = texts[language];

// Each joint's colour in the toolbox and on its blocks, and its two ways as command numbers.
const joints = [
  {name: 'base', colour: '#5b80a5', ways: [['left', '9'], ['right', '10']]},
  {name: 'shoulder', colour: '#5ba55b', ways: [['up', '8'], ['down', '7']]},
  {name: 'elbow', colour: '#a5745b', ways: [['up', '6'], ['down', '5']]},
  {name: 'wrist', colour: '#995ba5', ways: [['up', '4'], ['down', '3']]},
  {name: 'gripper', colour: '#a55b80', ways: [['close', '1'], ['open', '2']]},
];
const lightColour = '#d4a017';
// The local interface's answer to a run that the person at the arm stopped.
const stoppedByUser = -32002;
const poseColour = '#5ba5a5';
const noteColour = '#999999';

let workspace = null;
let socket = null;
let nextId = 1;
const waiting = new Map();
let poseNames = [];
let compiled = null;
let compileAsked = 0;
let compileAgain = false;
let editedAt = null;
let run = null;  // {stepLines, reverse} while a run of the page's goes on
let stepAt = 0;
const started = performance.now();

function $(id) { return document.getElementById(id); }

function say(text) { $('status').textContent = text; }

function call(method, params) {
  const id = nextId++;
  return new Promise((resolve, reject) => {
    if (!socket || socket.readyState !== WebSocket.OPEN) {
      reject(new Error(T.closed));
      return;
    }
    waiting.set(id, {resolve, reject});
    socket.send(JSON.stringify({jsonrpc: '2.0', id, method, params: params || {}}));
  });
}

function defineBlocks() {
  Blockly.common.defineBlocksWithJsonArray([
    {type: 'quillmar_program', message0: T.program, nextStatement: null, colour: '#666666',
     hat: 'cap'},
    ...joints.map((joint) => ({
      type: 'quillmar_' + joint.name,
      message0: T[joint.name],
      args0: [
        {type: 'field_dropdown', name: 'COMMAND', options: joint.ways.map(([w, c]) => [T[w], c])},
        {type: 'field_number', name: 'SECONDS', value: 1, min: 0.01, max: 14.99, precision: 0.01},
      ],
      previousStatement: null, nextStatement: null, colour: joint.colour,
    })),
    {type: 'quillmar_light', message0: T.light,
     args0: [{type: 'field_dropdown', name: 'STATE', options: [[T.on, 'on'], [T.off, 'off']]}],
     previousStatement: null, nextStatement: null, colour: lightColour},
    {type: 'quillmar_back_to_start', message0: T.back, previousStatement: null,
     nextStatement: null, colour: poseColour},
    {type: 'quillmar_note', message0: T.note, tooltip: T.note_tip,
     args0: [{type: 'field_input', name: 'TEXT', text: ''}],
     previousStatement: null, nextStatement: null, colour: noteColour},
  ]);
  // The poses are the arm window's, so the choice is made when the menu opens.
  Blockly.Blocks.quillmar_go_to = {
    init() {
      const field = new Blockly.FieldDropdown(function () {
        const names = poseNames.slice();
        const now = this.getValue ? this.getValue() : null;
        if (now && !names.includes(now)) names.push(now);
        return names.length ? names.map((n) => [n, n]) : [[T.no_poses, '']];
      });
      this.appendDummyInput().appendField(T.go_to.split('%1')[0]).appendField(field, 'POSE');
      this.setPreviousStatement(true);
      this.setNextStatement(true);
      this.setColour(poseColour);
    },
  };
}

function toolbox() {
  const category = (name, colour, contents) => ({kind: 'category', name, colour, contents});
  const block = (type, fields) => ({kind: 'block', type, fields});
  return {
    kind: 'categoryToolbox',
    contents: [
      ...joints.map((joint) => category(T['c_' + joint.name], joint.colour,
        joint.ways.map(([, command]) => block('quillmar_' + joint.name, {COMMAND: command})))),
      category(T.c_light, lightColour,
        [block('quillmar_light', {STATE: 'on'}), block('quillmar_light', {STATE: 'off'})]),
      category(T.c_repeat, '#5ba58c', [block('controls_repeat', {TIMES: 3})]),
      category(T.c_poses, poseColour,
        [block('quillmar_go_to'), block('quillmar_back_to_start')]),
      category(T.c_notes, noteColour, [block('quillmar_note')]),
    ],
  };
}

// Blockly writes its styles into style elements, which the page's policy does not apply; the same
// rules adopted as style sheets are, also those of elements it adds later.
const adopted = new WeakSet();
function adoptBlocklyStyles() {
  for (const element of document.querySelectorAll('style')) {
    if (adopted.has(element)) continue;
    adopted.add(element);
    const sheet = new CSSStyleSheet();
    sheet.replaceSync(element.textContent);
    document.adoptedStyleSheets = [...document.adoptedStyleSheets, sheet];
  }
}
new MutationObserver(adoptBlocklyStyles).observe(document.head, {childList: true});

function emptyProgram() {
  return {blocks: {languageVersion: 0, blocks: [
    {type: 'quillmar_program', id: 'program', x: 20, y: 20, deletable: false}]}};
}

// The program block at the top left, where a reader begins.
function showProgramTop() {
  Blockly.svgResize(workspace);
  const program = workspace.getTopBlocks(true)[0];
  if (program) {
    const box = program.getBoundingRectangle();
    workspace.scrollBoundsIntoView(
      new Blockly.utils.Rect(box.top, box.top + 40, box.left, box.left + 40));
  }
}

function load(state) {
  Blockly.Events.disable();
  try {
    workspace.clear();
    Blockly.serialization.workspaces.load(state, workspace);
  } finally {
    Blockly.Events.enable();
  }
  showProgramTop();
  compile();
}

function compile() {
  if (compileAsked) {
    compileAgain = true;
    return;
  }
  compileAsked = performance.now();
  const state = Blockly.serialization.workspaces.save(workspace);
  call('compile', {workspace: state}).then(show, () => {}).finally(() => {
    compileAsked = 0;
    if (compileAgain) {
      compileAgain = false;
      compile();
    }
  });
}

function show(result) {
  compiled = result;
  const lines = $('lines');
  lines.textContent = '';
  const text = result.text.replace(/\r\n|\r|\n/g, '\n');
  const rows = text.endsWith('\n') ? text.slice(0, -1).split('\n') : text.split('\n');
  if (result.text === '') rows.length = 0;
  const steps = new Set(result.step_lines);
  rows.forEach((row, index) => {
    const item = document.createElement('li');
    item.textContent = row;
    item.dataset.block = result.blocks[index] || '';
    if (!steps.has(index)) item.classList.add('note');
    lines.appendChild(item);
  });
  $('refusal').textContent = result.refusal;
  const warnings = new Map();
  const warn = (block, text) => {
    if (block) warnings.set(block, (warnings.get(block) ? warnings.get(block) + '\n' : '') + text);
  };
  for (const note of result.notes) warn(note.block, note.text);
  if (result.refused_block) warn(result.refused_block, result.refusal);
  const list = $('warnings');
  list.textContent = '';
  for (const text of result.warnings) {
    const item = document.createElement('li');
    item.textContent = text;
    list.appendChild(item);
    const line = /^line (\d+)/.exec(text);
    if (line) warn(result.blocks[Number(line[1]) - 1], text);
  }
  for (const block of workspace.getAllBlocks(false)) {
    const loose = block.getRootBlock().type !== 'quillmar_program';
    const text = warnings.get(block.id) || (loose && !block.getParent() ? T.loose : null);
    block.setWarningText(text);
  }
  drawArm(result.end);
  $('time').textContent = T.time.replace('%1', result.seconds.toFixed(1));
  if (editedAt !== null) {
    document.body.dataset.previewMs = String(Math.round(performance.now() - editedAt));
    editedAt = null;
  }
  if (!document.body.dataset.readyMs) {
    document.body.dataset.readyMs = String(Math.round(performance.now() - started));
  }
  document.body.dataset.compiled = String(Number(document.body.dataset.compiled || 0) + 1);
}

function svg(name, attributes, parent) {
  const element = document.createElementNS('http://www.w3.org/2000/svg', name);
  for (const [key, value] of Object.entries(attributes)) element.setAttribute(key, value);
  parent.appendChild(element);
  return element;
}

// The arm seen from the side, as the arm window draws it, and the base's turn seen from above.
function drawArm(end) {
  const picture = $('arm');
  picture.textContent = '';
  svg('line', {x1: -120, y1: 0, x2: 120, y2: 0, class: 'ground'}, picture);
  const radians = (degrees) => (degrees * Math.PI) / 180;
  const lengths = [70, 60, 30];
  const angles = [end.shoulder, end.shoulder + end.elbow, end.shoulder + end.elbow + end.wrist];
  let x = 0;
  let y = -20;
  svg('rect', {x: -20, y: -20, width: 40, height: 20, class: 'joint'}, picture);
  angles.forEach((angle, index) => {
    const nx = x + lengths[index] * Math.cos(radians(angle));
    const ny = y - lengths[index] * Math.sin(radians(angle));
    svg('line', {x1: x, y1: y, x2: nx, y2: ny, class: 'part'}, picture);
    svg('circle', {cx: x, cy: y, r: 5, class: 'joint'}, picture);
    x = nx;
    y = ny;
  });
  const opening = end.gripper / 2 + 2;
  const hand = radians(angles[2]);
  const across = [Math.sin(hand), Math.cos(hand)];
  for (const side of [1, -1]) {
    const bx = x + side * opening * across[0];
    const by = y + side * opening * across[1];
    svg('line', {x1: bx, y1: by, x2: bx + 14 * Math.cos(hand), y2: by - 14 * Math.sin(hand),
                 class: 'part', 'stroke-width': 4}, picture);
  }
  svg('circle', {cx: x, cy: y, r: 6, class: end.light ? 'light-on' : 'light-off'}, picture);
  svg('circle', {cx: 95, cy: -170, r: 22, class: 'top'}, picture);
  const turn = radians(end.base + 90);
  svg('line', {x1: 95, y1: -170, x2: 95 + 22 * Math.cos(turn), y2: -170 - 22 * Math.sin(turn),
               class: 'pointer'}, picture);
}

function highlight(line) {
  for (const item of $('lines').children) item.classList.remove('running');
  const item = line === null ? null : $('lines').children[line];
  if (item) {
    item.classList.add('running');
    item.scrollIntoView({block: 'nearest'});
  }
  workspace.highlightBlock(item ? item.dataset.block : null);
}

async function ensureAttached() {
  const state = await call('state');
  if (!state.attached) await call('attach');
}

async function runText(text, stepLines, reverse) {
  run = {stepLines, reverse};
  say(T.running);
  try {
    // Run pressed again after the person at the arm stopped the page: the pupil means it.
    await call('resume');
    await ensureAttached();
    const result = await call('run', {text, direction: reverse ? 'reverse' : 'forwards'});
    say(result.stopped_at === null ? T.done : T.stopped);
    return result.stopped_at === null;
  } catch (error) {
    say(error.code === stoppedByUser ? T.stopped_user : error.message);
    return false;
  } finally {
    run = null;
    highlight(null);
  }
}

function runProgram(reverse) {
  if (!compiled || compiled.refusal) return;
  runText(compiled.text, compiled.step_lines, reverse);
}

// Step runs the next step alone, as a program of that one line.
async function stepOnce() {
  if (!compiled || compiled.refusal || compiled.step_lines.length === 0) return;
  if (stepAt >= compiled.step_lines.length) stepAt = 0;
  const line = compiled.step_lines[stepAt];
  const rows = compiled.text.split(/\r\n|\r|\n/);
  if (await runText(rows[line], [line], false)) stepAt += 1;
}

function stop() {
  document.body.dataset.stopAt = String(performance.timeOrigin + performance.now());
  if (socket && socket.readyState === WebSocket.OPEN) {
    socket.send(JSON.stringify({jsonrpc: '2.0', id: nextId++, method: 'stop'}));
  }
}

function take(message) {
  const data = JSON.parse(message.data);
  if (data.id !== undefined && waiting.has(data.id)) {
    const {resolve, reject} = waiting.get(data.id);
    waiting.delete(data.id);
    if (data.error) reject(Object.assign(new Error(data.error.message), {code: data.error.code}));
    else resolve(data.result);
    return;
  }
  if (data.method === 'step' && run) {
    const index = run.reverse ? data.params.count - 1 - data.params.index : data.params.index;
    highlight(run.stepLines[index] ?? null);
    document.body.dataset.stepShownAt = String(performance.timeOrigin + performance.now());
  } else if (data.method === 'stopped') {
    say(T.stopped_user);
  } else if (data.method === 'state' && data.params.state === 'idle' && workspace) {
    // The arm has moved: the preview starts from where it is now.
    compile();
  }
}

function download(name, blob) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = name;
  document.body.appendChild(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
}

// The workspace's blocks as a picture of their own, with Blockly's styles inside it.
function workspaceSvg() {
  const box = workspace.getBlocksBoundingBox();
  const width = box.right - box.left + 20;
  const height = box.bottom - box.top + 20;
  const canvas = workspace.getCanvas().cloneNode(true);
  canvas.removeAttribute('transform');
  canvas.setAttribute('transform', `translate(${10 - box.left},${10 - box.top})`);
  const style = document.getElementById('blockly-common-style');
  const root = workspace.getParentSvg();
  const classes = root.getAttribute('class') || '';
  const head = `<svg xmlns="http://www.w3.org/2000/svg" width="${width}" height="${height}" ` +
    `viewBox="0 0 ${width} ${height}" class="${classes}"><style>` +
    `${style ? style.textContent.replace(/</g, '\\3c ') : ''}</style>` +
    `<g class="${root.parentElement.className || ''}">`;
  return head + new XMLSerializer().serializeToString(canvas) + '</g></svg>';
}

function exportPng() {
  const text = workspaceSvg();
  const image = new Image();
  const url = URL.createObjectURL(new Blob([text], {type: 'image/svg+xml'}));
  image.onload = () => {
    const canvas = document.createElement('canvas');
    canvas.width = image.width * 2;
    canvas.height = image.height * 2;
    const context = canvas.getContext('2d');
    context.fillStyle = '#fff';
    context.fillRect(0, 0, canvas.width, canvas.height);
    context.scale(2, 2);
    context.drawImage(image, 0, 0);
    URL.revokeObjectURL(url);
    canvas.toBlob((blob) => download('program.png', blob));
  };
  image.src = url;
}

function printWorkspace() {
  const url = URL.createObjectURL(new Blob([workspaceSvg()], {type: 'image/svg+xml'}));
  const printed = $('printed');
  printed.onload = () => {
    window.print();
    URL.revokeObjectURL(url);
  };
  printed.src = url;
}

async function openFile(file) {
  const text = await file.text();
  try {
    if (file.name.toLowerCase().endsWith('.rob')) {
      const result = await call('to_blocks', {text});
      load(result.workspace);
    } else {
      load(JSON.parse(text));
    }
    say(file.name);
  } catch (error) {
    say(error.message);
  }
}

function connect() {
  socket = new WebSocket(`ws://${location.host}/socket`);
  say(T.connecting);
  socket.onmessage = take;
  socket.onclose = () => {
    say(T.closed);
    for (const {reject} of waiting.values()) reject(new Error(T.closed));
    waiting.clear();
  };
  socket.onopen = async () => {
    say('');
    // The server stops what the page started once it has not heard from it for a second.
    new Worker('heartbeat.js').onmessage = () => {
      if (socket.readyState === WebSocket.OPEN) {
        socket.send('{"jsonrpc":"2.0","method":"heartbeat"}');
      }
    };
    await call('subscribe');
    const opening = await call('opening');
    poseNames = opening.poses;
    if (opening.text) {
      try {
        load((await call('to_blocks', {text: opening.text})).workspace);
        say(opening.name);
      } catch (error) {
        say(error.message);
        compile();
      }
    } else {
      compile();
    }
  };
}

function labels() {
  for (const id of ['run', 'reverse', 'step', 'stop', 'open']) {
    const button = $(id);
    button.textContent = T[button.textContent] || button.textContent;
  }
  for (const [id, key] of [['save', 'Save blocks'], ['export-rob', 'Export .rob'],
    ['print', 'Print'], ['lines-title', 'lines'], ['end-title', 'end'],
    ['warnings-title', 'warnings']]) {
    $(id).textContent = T[key];
  }
  document.documentElement.lang = language;
}

function start() {
  labels();
  defineBlocks();
  workspace = Blockly.inject($('blocks'), {
    toolbox: toolbox(), media: 'blockly/media/', sounds: false, trashcan: true,
    zoom: {controls: true, wheel: true}, move: {scrollbars: true, drag: true, wheel: false},
  });
  adoptBlocklyStyles();
  window.addEventListener('resize', () => Blockly.svgResize(workspace));
  Blockly.serialization.workspaces.load(emptyProgram(), workspace);
  showProgramTop();
  workspace.addChangeListener((event) => {
    if (event.isUiEvent) return;
    editedAt = performance.now();
    compile();
  });
  $('run').addEventListener('click', () => runProgram(false));
  $('reverse').addEventListener('click', () => runProgram(true));
  $('step').addEventListener('click', stepOnce);
  $('stop').addEventListener('click', stop);
  document.addEventListener('keydown', (event) => {
    if (event.key === 'Escape') stop();
  }, true);
  $('open').addEventListener('click', () => $('file').click());
  $('file').addEventListener('change', () => {
    if ($('file').files[0]) openFile($('file').files[0]);
    $('file').value = '';
  });
  $('save').addEventListener('click', () => download('program.qblocks', new Blob(
    [JSON.stringify(Blockly.serialization.workspaces.save(workspace), null, 1)],
    {type: 'application/json'})));
  $('export-rob').addEventListener('click', () => {
    if (compiled && !compiled.refusal) download('program.rob', new Blob([compiled.text]));
  });
  $('export-svg').addEventListener('click', () =>
    download('program.svg', new Blob([workspaceSvg()], {type: 'image/svg+xml'})));
  $('export-png').addEventListener('click', exportPng);
  $('print').addEventListener('click', printWorkspace);
  connect();
}

// Blockly's own blocks speak the page's language: its message file is one of the page's files.
if (language === 'en') {
  start();
} else {
  const messages = document.createElement('script');
  messages.src = `blockly/msg/${language}.js`;
  messages.onload = start;
  messages.onerror = start;
  document.head.appendChild(messages);
}
