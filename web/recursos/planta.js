'use strict';
// The plant at a glance: one group per workstation sharing the database, one
// tile per line. The server pushes the whole plant when the socket opens and
// then only the workstations that changed. Only this workstation's tiles lead
// to a line's detail: another one's lines are served by its own monitor.
// Names and texts from the server are always set as text.
(function () {
  const $ = (id) => document.getElementById(id);
  const planta = $('planta');
  const PARTES = ['nombre', 'peso', 'marcha', 'vigencia', 'error', 'ultimo', 'hoy'];
  // Workstation -> { seccion, partes, rejilla, orden, propio, teselas: Map(line -> tile) }.
  const grupos = new Map();
  let propioId = null;
  let compartida = true;

  // A name made fit for an element id: letters, digits and '-' as they are,
  // anything else as _hex_, so that two names never give the same id.
  function clave(s) {
    return String(s).replace(/[^A-Za-z0-9-]/gu, (c) => '_' + c.codePointAt(0).toString(16) + '_');
  }
  function nulo(v) { return v === null || v === undefined; }
  function fijo(v, d) { return nulo(v) ? '-' : Number(v).toFixed(d); }
  function texto(t, v, d) { return t ? String(t) : fijo(v, d); }
  function lotes(n) { return nulo(n) ? '-' : Number(n) === 1 ? '1 lote' : n + ' lotes'; }
  function fecha(iso) {
    const m = /^(\d{4})-(\d{2})-(\d{2})$/.exec(String(iso));
    return m ? m[3] + '/' + m[2] + '/' + m[1] : String(iso);
  }

  function vigencia(vivo, t) {
    const v = $('vigencia');
    v.className = 'vigencia ' + (vivo ? 'vivo' : 'viejo');
    v.textContent = t;
  }

  function base(b) {
    $('local').classList.toggle('oculto', compartida);
    if (b !== undefined) $('base').classList.toggle('oculto', !compartida || b !== false);
  }

  function grupo(id) {
    let g = grupos.get(id);
    if (g) return g;
    const s = document.createElement('section');
    s.className = 'puesto';
    s.id = 'puesto-' + clave(id);
    s.dataset.puesto = id;
    const h = document.createElement('h2');
    const partes = {};
    for (const c of ['nombre', 'propio', 'visto']) {
      const e = document.createElement('span');
      e.className = 'puesto-' + c;
      h.appendChild(e);
      partes[c] = e;
    }
    const r = document.createElement('div');
    r.className = 'lineas';
    s.append(h, r);
    g = { seccion: s, partes, rejilla: r, orden: id, propio: false, teselas: new Map() };
    grupos.set(id, g);
    return g;
  }

  // A line's tile. Only this workstation's tiles are links.
  function tesela(g, id, p, l) {
    const n = Number(l.linea);
    let a = g.teselas.get(n);
    if (!a || (a.tagName === 'A') !== g.propio) {
      const nueva = document.createElement(g.propio ? 'a' : 'div');
      if (g.propio) nueva.href = '/estacion?linea=' + encodeURIComponent(n);
      nueva.id = 'tesela-' + clave(id) + '-' + clave(n);
      nueva.dataset.puesto = id;
      nueva.dataset.linea = String(n);
      for (const c of PARTES) {
        const s = document.createElement('span');
        s.className = 'tesela-' + c;
        nueva.appendChild(s);
      }
      if (a) a.replaceWith(nueva);
      a = nueva;
      g.teselas.set(n, a);
    }
    const pon = (c, t) => { a.querySelector('.tesela-' + c).textContent = t; };
    const d = l.decimales || 0;
    const t = l.textos || {};
    const vive = !!(p.vigente && l.vigente);
    const estado = vive ? 'En línea' : !p.vigente ? 'Sin noticias' : (l.motivo || 'Sin noticias');
    a.className = 'tesela ' + (vive ? 'vivo' : 'viejo');
    pon('nombre', nulo(l.nombre) || l.nombre === '' ? 'Línea ' + n : String(l.nombre));
    pon('peso', nulo(l.peso) ? '-' : texto(t.peso, l.peso, d) + ' kg');
    pon('marcha', l.marcha ? String(l.marcha) : '-');
    pon('vigencia', String(estado));
    pon('error', l.textoError && l.textoError !== estado ? String(l.textoError) : '');
    const u = l.ultimo;
    pon('ultimo', u ? 'Último lote: Nº ' + (nulo(u.ticket) ? '-' : u.ticket) + ' · ' + texto(u.textoPeso, u.peso, d) +
      ' kg' + (u.hora ? ' · ' + u.hora : '') : 'Sin lotes hoy');
    const h = l.hoy;
    pon('hoy', h ? 'Hoy: ' + lotes(h.lotes) + ' · ' + texto(h.textoKilos, h.kilos, d) + ' kg' : 'Hoy: -');
  }

  // Puts children in the given order, moving only those out of place.
  function enOrden(padre, hijos) {
    hijos.forEach((e, i) => { if (padre.children[i] !== e) padre.insertBefore(e, padre.children[i] || null); });
  }

  function puesto(p) {
    if (!p || typeof p !== 'object' || nulo(p.puesto)) return null;
    const id = String(p.puesto);
    const g = grupo(id);
    g.propio = typeof p.propio === 'boolean' ? p.propio : id === propioId;
    g.orden = p.nombre ? String(p.nombre) : id;
    const s = g.seccion;
    s.classList.toggle('propio', g.propio);
    s.classList.toggle('viejo', !p.vigente);
    g.partes.nombre.textContent = g.orden;
    g.partes.propio.textContent = g.propio ? '(este puesto)' : '';
    g.partes.visto.textContent = p.vigente ? ''
      : p.textoVisto ? 'Sin noticias desde ' + p.textoVisto : 'Sin noticias';
    const lineas = (Array.isArray(p.lineas) ? p.lineas : [])
      .filter((l) => l && Number.isFinite(Number(l.linea)))
      .sort((x, y) => Number(x.linea) - Number(y.linea));
    const hay = new Set();
    for (const l of lineas) {
      hay.add(Number(l.linea));
      tesela(g, id, p, l);
    }
    for (const [n, a] of g.teselas)
      if (!hay.has(n)) { a.remove(); g.teselas.delete(n); }
    enOrden(g.rejilla, [...hay].map((n) => g.teselas.get(n)));
    return id;
  }

  // This workstation first, the others by name.
  function ordena() {
    const lista = [...grupos.values()].sort((x, y) => (y.propio - x.propio) ||
      x.orden.localeCompare(y.orden, 'es') || (x.seccion.dataset.puesto < y.seccion.dataset.puesto ? -1 : 1));
    enOrden(planta, lista.map((g) => g.seccion));
  }

  function todo(m) {
    propioId = nulo(m.puesto) ? null : String(m.puesto);
    compartida = m.compartida !== false;
    const hay = new Set();
    for (const p of Array.isArray(m.puestos) ? m.puestos : []) {
      const id = puesto(p);
      if (id !== null) hay.add(id);
    }
    for (const [id, g] of grupos)
      if (!hay.has(id)) { g.seccion.remove(); grupos.delete(id); }
    if (m.hoy) $('fecha').textContent = 'Totales del día ' + fecha(m.hoy);
    base(m.base);
    ordena();
    planta.classList.remove('viejo');
    vigencia(true, 'En línea');
  }

  function cambios(m) {
    for (const p of Array.isArray(m.puestos) ? m.puestos : []) puesto(p);
    if (m.hoy) $('fecha').textContent = 'Totales del día ' + fecha(m.hoy);
    base(m.base);
    ordena();
  }

  // Without the server nothing shown is current.
  function caduca() {
    planta.classList.add('viejo');
    for (const g of grupos.values())
      for (const a of g.teselas.values()) {
        a.className = 'tesela viejo';
        a.querySelector('.tesela-vigencia').textContent = 'Sin conexión';
      }
  }

  window.tolvexEnVivo('/ws/planta', (m) => {
    if (m.tipo === 'planta') todo(m);
    else if (m.tipo === 'puestos') cambios(m);
  }, () => {
    caduca();
    vigencia(false, 'Sin conexión con el servidor. Reintentando...');
  });
})();
