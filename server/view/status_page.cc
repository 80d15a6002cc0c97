#include "server/view/status_page.h"

#include <cstring>

namespace {

const char kPage[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Korvanel installations</title>
<link rel="stylesheet" href="/status.css">
<script src="/status.js" defer></script>
</head>
<body>
<header>
<h1>Korvanel installations</h1>
<p id="connection" class="connection">waiting for the server&hellip;</p>
</header>
<section id="totals" class="totals" aria-label="totals"></section>
<table id="machines">
<thead><tr>
<th>Machine</th><th>Label</th><th>Phase</th><th>File</th><th>Progress</th>
<th>Rate</th><th>Elapsed</th><th>Left</th><th>Last seen</th>
</tr></thead>
<tbody id="rows"></tbody>
</table>
<p id="empty" class="empty">No machine has asked yet.</p>
</body>
</html>
)";

const char kStyle[] = R"(body { font: 15px/1.4 system-ui, sans-serif; margin: 1em; color: #1d2327; background: #f6f7f7; }
h1 { font-size: 1.3em; margin: 0 0 .2em; }
.connection { margin: 0 0 .8em; color: #50575e; }
.connection.lost { color: #b32d2e; font-weight: bold; }
.totals { display: flex; flex-wrap: wrap; gap: .4em 1.4em; margin-bottom: 1em; }
.totals span b { font-variant-numeric: tabular-nums; }
table { border-collapse: collapse; width: 100%; background: #fff; }
th, td { text-align: left; padding: .35em .6em; border-bottom: 1px solid #dcdcde; }
td { font-variant-numeric: tabular-nums; }
td.mac { font-family: ui-monospace, monospace; white-space: nowrap; }
td.label { max-width: 16em; overflow-wrap: anywhere; }
.phase { font-weight: bold; text-transform: uppercase; font-size: .85em; }
.reason { display: block; font-weight: normal; text-transform: none; }
tr.done .phase { color: #008a20; }
tr.installing .phase, tr.drivers .phase, tr.offered .phase { color: #2271b1; }
tr.failed { background: #fcf0f1; }
tr.failed .phase { color: #b32d2e; }
tr.silent { background: #fcf9e8; }
tr.silent .phase { color: #996800; }
tr.up .phase { color: #008a20; }
tr.up { background: #edfaef; }
tr.not-up { background: #fcf9e8; }
tr.not-up .phase, tr.held .phase { color: #996800; }
.bar { display: inline-block; width: 6em; height: .7em; background: #dcdcde; vertical-align: middle; margin-right: .4em; }
.bar > span { display: block; height: 100%; background: #2271b1; }
.empty { color: #50575e; }
@media (max-width: 720px) {
  thead { display: none; }
  table, tbody, tr, td { display: block; width: auto; }
  tr { border: 1px solid #dcdcde; margin-bottom: .6em; }
  td { border: 0; padding: .15em .6em; }
  td::before { content: attr(data-title) ": "; color: #50575e; }
}
)";

const char kScript[] = R"('use strict';
// Fills the table from /status.json once a second. Everything a machine
// sent goes in as text (textContent): a label is never markup.
const columns = ['Machine', 'Label', 'Phase', 'File', 'Progress', 'Rate', 'Elapsed', 'Left',
                 'Last seen'];

function bytes(n) {
  if (n === null || n === undefined) return '';
  const units = ['B', 'KB', 'MB', 'GB', 'TB'];
  let i = 0;
  while (n >= 1000 && i < units.length - 1) { n /= 1000; i++; }
  return (i === 0 ? n.toFixed(0) : n.toFixed(1)) + ' ' + units[i];
}

function duration(seconds) {
  if (seconds === null || seconds === undefined) return '';
  seconds = Math.round(seconds);
  const h = Math.floor(seconds / 3600), m = Math.floor(seconds / 60) % 60, s = seconds % 60;
  return (h ? h + 'h ' : '') + (h || m ? m + 'm ' : '') + s + 's';
}

function cell(row, title, text, className) {
  const td = document.createElement('td');
  td.dataset.title = title;
  if (className) td.className = className;
  td.textContent = text;
  row.appendChild(td);
  return td;
}

function progress(machine) {
  const td = document.createElement('td');
  td.dataset.title = 'Progress';
  if (machine.bytes_total) {
    const share = Math.min(1, machine.bytes_sent / machine.bytes_total);
    const bar = document.createElement('span');
    bar.className = 'bar';
    const fill = document.createElement('span');
    fill.style.width = (share * 100).toFixed(1) + '%';
    bar.appendChild(fill);
    td.appendChild(bar);
    td.appendChild(document.createTextNode(
        bytes(machine.bytes_sent) + ' of ' + bytes(machine.bytes_total)));
  } else {
    td.textContent = machine.bytes_sent ? bytes(machine.bytes_sent) : '';
  }
  return td;
}

function machineRow(machine, now) {
  const tr = document.createElement('tr');
  tr.className = machine.phase.replace(' ', '-');
  cell(tr, 'Machine', machine.mac, 'mac');
  cell(tr, 'Label', machine.name ? machine.name + (machine.group ? ' (' + machine.group + ')' : '')
                                 : machine.label, 'label');
  const phase = cell(tr, 'Phase', machine.phase, 'phase');
  if (machine.reason) {
    const reason = document.createElement('span');
    reason.className = 'reason';
    reason.textContent = machine.reason;
    phase.appendChild(reason);
  }
  const file = machine.file;
  cell(tr, 'File', file ? file.index + '/' + file.count + ' ' + file.name : '');
  tr.appendChild(progress(machine));
  cell(tr, 'Rate', machine.rate ? bytes(machine.rate) + '/s' : '');
  cell(tr, 'Elapsed', duration(machine.elapsed));
  cell(tr, 'Left', machine.up_after != null ? 'up after ' + duration(machine.up_after)
                                            : duration(machine.remaining));
  const ago = (Date.parse(now) - Date.parse(machine.last_seen)) / 1000;
  cell(tr, 'Last seen', ago < 1 ? 'now' : duration(ago) + ' ago');
  return tr;
}

function showTotals(totals) {
  const section = document.getElementById('totals');
  section.replaceChildren();
  const items = [['machines', totals.machines], ['installing', totals.installing],
                 ['done', totals.done], ['failed', totals.failed], ['silent', totals.silent],
                 ['waiting for room', totals.waiting], ['sent', bytes(totals.bytes_sent)],
                 ['dropped', totals.dropped_malformed + totals.dropped_oversized +
                             totals.dropped_forged],
                 ['up', totals.up], ['not up', totals.not_up],
                 ['up refused', totals.up_refused], ['re-armed', totals.rearmed]];
  for (const [name, value] of items) {
    const item = document.createElement('span');
    item.className = 'total-' + name.replace(' ', '-');
    item.appendChild(document.createTextNode(name + ' '));
    const number = document.createElement('b');
    number.textContent = String(value);
    item.appendChild(number);
    section.appendChild(item);
  }
}

function show(status) {
  showTotals(status.totals);
  const rows = document.getElementById('rows');
  rows.replaceChildren(...status.machines.map(machine => machineRow(machine, status.time)));
  document.getElementById('empty').hidden = status.machines.length > 0;
  const connection = document.getElementById('connection');
  connection.className = 'connection';
  connection.textContent = 'updated ' + new Date(status.time).toLocaleTimeString();
}

async function refresh() {
  try {
    const answer = await fetch('/status.json', {cache: 'no-store'});
    if (!answer.ok) throw new Error('HTTP ' + answer.status);
    show(await answer.json());
  } catch (error) {
    const connection = document.getElementById('connection');
    connection.className = 'connection lost';
    connection.textContent = 'server not reachable: ' + error.message;
  }
  setTimeout(refresh, 1000);
}

refresh();
)";

const PageFile kFiles[] = {
    {"/", "text/html; charset=utf-8", kPage},
    {"/status.css", "text/css; charset=utf-8", kStyle},
    {"/status.js", "text/javascript; charset=utf-8", kScript},
};

}  // namespace

const PageFile* findPageFile(const char* path) {
  for (const PageFile& file : kFiles) {
    if (strcmp(file.path, path) == 0) return &file;
  }
  return nullptr;
}
