// The web console: the management API's views in the page, live through its event stream.
// Every text that came from a user goes into the page as text (textContent), never as markup.
'use strict';

const api = '/api/v1/';
const pageSize = 50;
let token = sessionStorage.getItem('tarvo-token') || '';
let offset = 0;
let total = 0;
let current = 'users';
let streaming = null;

const $ = (id) => document.getElementById(id);

function say(text, isError) {
  $('status').textContent = text;
  $('status').className = isError ? 'error' : 'status';
}

// The token goes in a header, which a page of another site cannot make the browser send: that
// and the JSON content type keep cross-site requests out.
async function call(method, path, body) {
  const options = { method, headers: { Authorization: 'Bearer ' + token } };
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  const response = await fetch(api + path, options);
  const data = await response.json().catch(() => ({}));
  if (response.status === 401) logOut('The token was refused.');
  if (!response.ok) throw new Error(data.error || 'HTTP ' + response.status);
  return data;
}

function cell(row, text) {
  const td = document.createElement('td');
  td.textContent = text;
  row.appendChild(td);
  return td;
}

function button(row, label, action) {
  const td = document.createElement('td');
  for (const [text, run] of Array.isArray(label) ? label : [[label, action]]) {
    const b = document.createElement('button');
    b.textContent = text;
    b.addEventListener('click', () => run().catch((e) => say(e.message, true)));
    td.appendChild(b);
  }
  row.appendChild(td);
}

function fill(tbody, rows, draw) {
  const body = $(tbody);
  body.replaceChildren();
  for (const item of rows) {
    const row = document.createElement('tr');
    draw(row, item);
    body.appendChild(row);
  }
}

async function showUsers() {
  const search = encodeURIComponent($('search').value);
  const page = await call('GET', `users?offset=${offset}&limit=${pageSize}&search=${search}`);
  total = page.total;
  $('user-count').textContent =
    total === 0 ? 'no users' : `${offset + 1}-${offset + page.users.length} of ${total}`;
  fill('user-rows', page.users, (row, user) => {
    row.dataset.name = user.name;
    cell(row, user.name);
    cell(row, user.limit);
    cell(row, user.counter);
    cell(row, user.locked ? 'locked' : '');
    const path = 'users/' + encodeURIComponent(user.name);
    button(row, [
      [user.locked ? 'Unlock' : 'Lock', async () => {
        await call('POST', path + (user.locked ? '/unlock' : '/lock'));
        await showUsers();
      }],
      ['Reset', async () => { await call('POST', path + '/reset'); await showUsers(); }],
      ['Delete', async () => {
        if (confirm('Delete ' + user.name + '?')) { await call('DELETE', path); await showUsers(); }
      }],
    ]);
  });
}

async function showSessions() {
  const data = await call('GET', 'sessions');
  fill('session-rows', data.sessions, (row, s) => {
    cell(row, s.name);
    cell(row, s.address);
    cell(row, s.session_id);
    cell(row, s.protocol);
    button(row, 'Disconnect', async () => {
      await call('POST', 'sessions/disconnect',
                 { name: s.name, address: s.address, session_id: s.session_id });
      await showSessions();
    });
  });
}

const settingFields = [
  ['server_port', 'Server port', 'number'], ['multi_connect', 'Several sessions per user', 'checkbox'],
  ['audit_type', 'Audit type', 'number'],
  ['min_client_version', 'Lowest client version', 'text'], ['hide_pwd', 'Hide passwords', 'checkbox'],
  ['store_encrypted_pwd', 'Store passwords encrypted', 'checkbox'],
  ['auto_refresh', 'Refresh automatically', 'checkbox'],
];

async function showSettings() {
  const settings = await call('GET', 'settings');
  const form = $('settings-form');
  form.replaceChildren();
  for (const [key, label, type] of settingFields) {
    const l = document.createElement('label');
    l.textContent = label + ' ';
    const input = document.createElement('input');
    input.type = type;
    input.name = key;
    if (type === 'checkbox') input.checked = settings[key]; else input.value = settings[key];
    l.appendChild(input);
    form.appendChild(l);
  }
  const save = document.createElement('button');
  save.type = 'submit';
  save.textContent = 'Save';
  form.appendChild(save);
}

async function saveSettings(event) {
  event.preventDefault();
  const change = {};
  for (const [key, , type] of settingFields) {
    const input = $('settings-form').elements[key];
    change[key] = type === 'checkbox' ? input.checked
      : type === 'number' ? Number(input.value) : input.value;
  }
  await call('PATCH', 'settings', change);
  say('Settings saved.');
}

async function showUsage() {
  const data = await call('GET', 'usage');
  fill('usage-rows', data.users, (row, u) => {
    for (const key of ['name', 'bytes_down', 'bytes_up', 'counter', 'limit', 'period', 'sessions']) {
      cell(row, u[key]);
    }
  });
}

const views = { users: showUsers, sessions: showSessions, settings: showSettings,
                usage: showUsage, messages: async () => {} };

async function show(view) {
  current = view;
  for (const section of document.querySelectorAll('.view')) section.hidden = section.id !== view;
  for (const b of document.querySelectorAll('#views button[data-view]')) {
    b.classList.toggle('active', b.dataset.view === view);
  }
  try { await views[view](); } catch (e) { say(e.message, true); }
}

// The event stream through fetch, so that the token goes in a header; each event is logged and
// refreshes the view it touches. A broken stream is resumed from the last id seen.
async function followEvents(lastId) {
  const controller = new AbortController();
  streaming = controller;
  const headers = { Authorization: 'Bearer ' + token };
  if (lastId) headers['Last-Event-ID'] = lastId;
  try {
    const response = await fetch(api + 'events', { headers, signal: controller.signal });
    const reader = response.body.getReader();
    const decoder = new TextDecoder();
    let text = '';
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      text += decoder.decode(value, { stream: true });
      let end;
      while ((end = text.indexOf('\n\n')) >= 0) {
        const block = text.slice(0, end);
        text = text.slice(end + 2);
        const id = /^id: (\d+)$/m.exec(block);
        const data = /^data: (.*)$/m.exec(block);
        if (id) lastId = id[1];
        if (data) onEvent(JSON.parse(data[1]));
      }
    }
  } catch (e) {
    if (controller.signal.aborted) return;
  }
  if (streaming === controller) setTimeout(() => followEvents(lastId), 1000);
}

function onEvent(event) {
  const item = document.createElement('li');
  item.textContent = event.event + ' ' + event.name;
  $('events').prepend(item);
  while ($('events').children.length > 100) $('events').lastChild.remove();
  if (event.event.startsWith('session') && current === 'sessions') showSessions();
  if (event.event.startsWith('user') && current === 'users') showUsers();
}

function logOut(why) {
  token = '';
  sessionStorage.removeItem('tarvo-token');
  if (streaming) streaming.abort();
  streaming = null;
  for (const section of document.querySelectorAll('.view')) section.hidden = true;
  $('views').hidden = true;
  $('events-title').hidden = true;
  $('login').hidden = false;
  $('login-error').textContent = why || '';
}

async function logIn(candidate) {
  token = candidate;
  try {
    await call('GET', 'users?limit=1');
  } catch (e) {
    logOut('The token was refused.');
    return;
  }
  sessionStorage.setItem('tarvo-token', token);
  $('login').hidden = true;
  $('views').hidden = false;
  $('events-title').hidden = false;
  followEvents(null);
  await show('users');
}

document.addEventListener('DOMContentLoaded', () => {
  $('login-form').addEventListener('submit', (e) => { e.preventDefault(); logIn($('token').value); });
  $('logout').addEventListener('click', () => logOut(''));
  for (const b of document.querySelectorAll('#views button[data-view]')) {
    b.addEventListener('click', () => show(b.dataset.view));
  }
  $('search-form').addEventListener('submit', (e) => { e.preventDefault(); offset = 0; show('users'); });
  $('prev').addEventListener('click', () => { offset = Math.max(0, offset - pageSize); show('users'); });
  $('next').addEventListener('click', () => {
    if (offset + pageSize < total) { offset += pageSize; show('users'); }
  });
  $('add-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    try {
      await call('POST', 'users', { name: $('add-name').value, password: $('add-password').value,
                                    limit: Number($('add-limit').value) });
      say('Added ' + $('add-name').value + '.');
      $('add-form').reset();
      await showUsers();
    } catch (err) { say(err.message, true); }
  });
  $('settings-form').addEventListener('submit', (e) => saveSettings(e).catch((err) => say(err.message, true)));
  $('message-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    try {
      await call('POST', 'messages', { address: $('message-address').value, text: $('message-text').value });
      say('Sent.');
    } catch (err) { say(err.message, true); }
  });
  if (token) logIn(token); else logOut('');
});
