'use strict';
// The live station: states pushed by the server over a WebSocket; the page
// never asks for them. The trend is drawn here on the canvas. With several
// lines the page follows one (the address's "linea") and shows every line
// at a glance above it, one tile per line, which leads to that line.
// Names and texts from the server are always set as text.
(function () {
  const SALIDAS = ['Hold', 'Stand By', 'Carga Grueso', 'Carga Fino', 'Descarga', 'Alarma', 'Test Weigth', 'Run'];
  const ENTRADAS = ['Sensor Desc. 1', 'Sensor Desc. 2', 'Sensor Carga. 1', 'Sensor Carga. 2', 'Hold',
    'Arranque / Par.', 'By Pass', 'Tension Auxiliar'];
  const VENTANA_MS = 5 * 60 * 1000;
  const $ = (id) => document.getElementById(id);
  const LINEA = Number(document.body.dataset.linea) || 1;
  let puntos = [];
  let ultimo = null;
  let varias = false;

  function lamparas(id, nombres) {
    const ul = $(id);
    nombres.forEach((n, k) => {
      const li = document.createElement('li');
      const l = document.createElement('span');
      l.className = 'lampara';
      l.id = id + '-' + k;
      li.appendChild(l);
      li.appendChild(document.createTextNode(n));
      ul.appendChild(li);
    });
  }
  lamparas('salidas', SALIDAS);
  lamparas('entradas', ENTRADAS);

  // A value the state does not have (no reading yet) shows as a dash.
  function fijo(v, d) { return v === null || v === undefined ? '-' : Number(v).toFixed(d); }
  function texto(t, v, d) { return t ? t : fijo(v, d); }

  function vigencia(vivo, texto) {
    const v = $('vigencia');
    v.className = 'vigencia ' + (vivo ? 'vivo' : 'viejo');
    v.textContent = texto;
    document.body.classList.toggle('viejo', !vivo);
  }

  function muestra(e) {
    ultimo = e;
    const d = e.decimales || 0;
    const t = e.textos || {};
    $('peso').textContent = texto(t.peso, e.peso, d);
    $('acumulado').textContent = texto(t.acumulado, e.acumulado, d);
    $('despacho').textContent = texto(t.despacho, e.despacho, d);
    $('resto').textContent = texto(t.resto, e.resto, d);
    $('caudal').textContent = texto(t.caudal, e.caudal, d);
    $('ciclos').textContent = fijo(e.ciclos, 0);
    $('grueso').textContent = texto(t.grueso, e.corteGrueso, d);
    $('fino').textContent = texto(t.fino, e.corteFino, d);
    $('estado').textContent = e.textoModo || '-';
    $('error').textContent = e.textoError || '';
    for (let k = 0; k < 8; ++k) {
      $('salidas-' + k).classList.toggle('on', !!e.salidas[k]);
      $('entradas-' + k).classList.toggle('on', !!e.entradas[k]);
    }
    // The time of the values shown, as the station writes it.
    $('actualizado').textContent = t.lectura ? (e.vigente ? 'Lectura: ' : 'Última lectura: ') + t.lectura
      : 'Sin lecturas';
    if (e.vigente) vigencia(true, 'En línea');
    else vigencia(false, e.motivo || 'Sin datos');
    if (varias) {
      $('nombre-linea').textContent = e.nombre || '';
      tesela(e);
    }
  }

  // The tile of a line: name, weight, what it is doing and whether it is current.
  function tesela(r) {
    const id = 'linea-' + r.linea;
    let a = $(id);
    if (!a) {
      a = document.createElement('a');
      a.id = id;
      a.href = '/estacion?linea=' + encodeURIComponent(r.linea);
      for (const c of ['nombre', 'peso', 'marcha', 'vigencia']) {
        const s = document.createElement('span');
        s.className = 'tesela-' + c;
        a.appendChild(s);
      }
      if (r.linea === LINEA) a.setAttribute('aria-current', 'page');
      $('lineas').appendChild(a);
    }
    const t = r.textos || {};
    a.className = 'tesela ' + (r.vigente ? 'vivo' : 'viejo') + (r.linea === LINEA ? ' activa' : '');
    a.querySelector('.tesela-nombre').textContent = r.nombre || '';
    a.querySelector('.tesela-peso').textContent = texto(t.peso, r.peso, r.decimales || 0) + ' kg';
    a.querySelector('.tesela-marcha').textContent = r.marcha || '-';
    a.querySelector('.tesela-vigencia').textContent = r.vigente ? 'En línea' : (r.motivo || 'Sin datos');
  }

  function lineas(lista) {
    varias = true;
    $('lineas').classList.remove('oculto', 'viejo');
    $('nombre-linea').classList.remove('oculto');
    lista.forEach(tesela);
  }

  function agrega(e) {
    if (!e.vigente || !e.instante) return;
    const t = Date.parse(e.instante);
    puntos.push([t, e.peso]);
    const desde = t - VENTANA_MS;
    while (puntos.length && puntos[0][0] < desde) puntos.shift();
  }

  let pendiente = false;
  function dibuja() {
    if (pendiente) return;
    pendiente = true;
    requestAnimationFrame(() => {
      pendiente = false;
      const c = $('grafico');
      const w = c.clientWidth, h = c.clientHeight;
      if (c.width !== w || c.height !== h) { c.width = w; c.height = h; }
      const g = c.getContext('2d');
      g.clearRect(0, 0, w, h);
      const izq = 56, abajo = 20;
      // The last five minutes, or less while less has been seen (one minute at least).
      const fin = puntos.length ? puntos[puntos.length - 1][0] : Date.now();
      const ini = Math.max(fin - VENTANA_MS, Math.min(puntos.length ? puntos[0][0] : fin, fin - 60000));
      const ancho = fin - ini;
      let max = 0, min = 0;
      for (const p of puntos) { if (p[1] > max) max = p[1]; if (p[1] < min) min = p[1]; }
      // At least ten units of height, with as many decimals as its steps need.
      max = Math.max(max * 1.05, min + 10);
      const paso = (max - min) / 4;
      const decimales = paso >= 1 ? 0 : Math.min(3, Math.ceil(-Math.log10(paso)));
      g.strokeStyle = '#d4dbe2'; g.fillStyle = '#4a5a6a'; g.font = '11px sans-serif';
      for (let i = 0; i <= 4; ++i) {
        const y = (h - abajo) * i / 4;
        g.beginPath(); g.moveTo(izq, y + 0.5); g.lineTo(w, y + 0.5); g.stroke();
        if (puntos.length) g.fillText((max - paso * i).toFixed(decimales), 4, Math.min(h - abajo - 2, y + 12));
      }
      if (!puntos.length) {
        g.fillText('Sin lecturas recientes', izq + 8, (h - abajo) / 2);
        return;
      }
      for (let m = 0; m <= 4; ++m) {
        const x = izq + (w - izq) * m / 4;
        const t = new Date(ini + ancho * m / 4).toLocaleTimeString('es', { hour12: false });
        g.fillText(t, Math.max(izq, Math.min(x - 24, w - 52)), h - 5);
      }
      g.strokeStyle = document.body.classList.contains('viejo') ? '#9aa5ad' : '#0b5cad';
      g.lineWidth = 2;
      g.beginPath();
      puntos.forEach((p, i) => {
        if (p[0] < ini) return;
        const x = izq + (w - izq) * (p[0] - ini) / ancho;
        const y = (h - abajo) * (1 - (p[1] - min) / (max - min || 1));
        // No line across a time without readings.
        if (i === 0 || puntos[i - 1][0] < ini || p[0] - puntos[i - 1][0] > 5000) g.moveTo(x, y);
        else g.lineTo(x, y);
      });
      g.stroke();
    });
  }
  window.addEventListener('resize', dibuja);

  window.tolvexEnVivo('/ws/estado?linea=' + LINEA, (m) => {
    if (m.tipo === 'lineas' && Array.isArray(m.lineas)) { lineas(m.lineas); return; }
    if (m.tipo === 'resumen' && m.resumen) { if (varias) tesela(m.resumen); return; }
    if (m.tendencia) puntos = m.tendencia.slice();
    else if (m.estado) agrega(m.estado);
    if (m.estado) muestra(m.estado);
    dibuja();
  }, (ev) => {
    // The line is no longer in the settings: nothing to wait for.
    if (ev.code === 4004) { vigencia(false, ev.reason || 'Sin datos'); return false; }
    $('lineas').classList.add('viejo');
    vigencia(false, 'Sin conexión con el servidor');
    dibuja();
    return true;
  });
  dibuja();
})();
