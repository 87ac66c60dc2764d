'use strict';
// Batches of today and the reports selection, read from the JSON API.
(function () {
  const $ = (id) => document.getElementById(id);
  const captions = JSON.parse(document.querySelector('main').dataset.captions || '[]');
  // The plant's lines when it has several; with one, nothing about lines shows.
  const lineas = JSON.parse(document.querySelector('main').dataset.lineas || '[]');
  const propio = (l) => l.nombre && l.nombre !== 'Línea ' + l.numero;
  const nombreLinea = (n) => {
    const l = lineas.find((x) => x.numero === n);
    return l && propio(l) ? l.nombre : (n === null || n === undefined ? '' : String(n));
  };
  const nombreDato = (i) => (captions[i] || ('Dato ' + i + ':')).trim().replace(/:$/, '');
  const COLUMNAS = [['TICKET', 'Ticket', 'n'], ['FECHA', 'Fecha'], ['HORA', 'Hora']];
  for (let i = 0; i < 6; ++i) COLUMNAS.push(['AUX' + (i + 1), nombreDato(i)]);
  COLUMNAS.push(['PESO', 'Peso', 'n'], ['TOTAL', 'Total', 'n'], ['BACH', 'Bach', 'n'], ['PRESET', 'Preset', 'n'],
    ['OPERADOR', 'Operador']);
  const ORDENES = [['TICKET', 'Ticket'], ['FECHA', 'Fecha y hora'], ['TOTAL', 'Total'], ['PESO', 'Peso'],
    ['BACH', 'Bach'], ['PRESET', 'Preset'], ['OPERADOR', 'Operador']];
  for (let i = 0; i < 6; ++i) ORDENES.push(['AUX' + (i + 1), nombreDato(i)]);
  if (lineas.length) {
    COLUMNAS.splice(3, 0, ['LINEA', 'Línea', 'l']);
    ORDENES.push(['LINEA', 'Línea']);
    const etiqueta = document.createElement('label');
    const elige = document.createElement('select');
    elige.id = 'linea';
    elige.add(new Option('Todas', ''));
    for (const l of lineas)
      elige.add(new Option(propio(l) ? 'Línea ' + l.numero + ' (' + l.nombre + ')' : l.nombre, String(l.numero)));
    etiqueta.append('Línea ', elige);
    $('filtros').insertBefore(etiqueta, $('ticketDesde').parentNode);
  }

  for (let i = 0; i < 6; ++i) $('dato').add(new Option(nombreDato(i), String(i + 1)));
  for (const [v, t] of ORDENES) $('orden').add(new Option(t, v));

  const numero = (v) => (v === null || v === undefined) ? '' :
    Number(v).toLocaleString('es', { maximumFractionDigits: 3, useGrouping: false });
  // Dates as the plant's screens write them (the pattern comes with the page).
  const patronFecha = document.querySelector('main').dataset.fecha || 'dd/MM/yyyy';
  const fecha = (v) => {
    if (!v) return '';
    const [a, m, d] = v.split('-');
    return patronFecha.replace('yyyy', a).replace('MM', m).replace('dd', d);
  };

  function cabecera(tabla) {
    const tr = document.createElement('tr');
    for (const [, t] of COLUMNAS) {
      const th = document.createElement('th');
      th.textContent = t;
      tr.appendChild(th);
    }
    tabla.tHead.replaceChildren(tr);
  }

  function llena(tabla, filas) {
    const cuerpo = document.createDocumentFragment();
    for (const f of filas) {
      const tr = document.createElement('tr');
      if (f.OPCION1) tr.className = 'total';
      for (const [c, , tipo] of COLUMNAS) {
        const td = document.createElement('td');
        td.textContent = c === 'FECHA' ? fecha(f[c]) : tipo === 'l' ? nombreLinea(f[c]) :
          (tipo === 'n' ? numero(f[c]) : (f[c] || ''));
        if (tipo === 'n') td.className = 'n';
        tr.appendChild(td);
      }
      cuerpo.appendChild(tr);
    }
    tabla.tBodies[0].replaceChildren(cuerpo);
  }

  function paginas(div, r, ir) {
    const total = Math.max(1, Math.ceil(r.cantidad / r.filasPorPagina));
    div.replaceChildren();
    const ant = document.createElement('button');
    ant.type = 'button'; ant.textContent = '< Anterior'; ant.disabled = r.pagina <= 0;
    ant.onclick = () => ir(r.pagina - 1);
    const sig = document.createElement('button');
    sig.type = 'button'; sig.textContent = 'Siguiente >'; sig.disabled = r.pagina + 1 >= total;
    sig.onclick = () => ir(r.pagina + 1);
    const txt = document.createElement('span');
    txt.textContent = 'Página ' + (r.pagina + 1) + ' de ' + total + ' (' + r.cantidad + ' registros)';
    div.append(ant, txt, sig);
  }

  async function pide(url) {
    const r = await fetch(url, { credentials: 'same-origin' });
    if (r.status === 401) { location.href = '/ingreso'; throw new Error('sesión'); }
    const j = await r.json();
    if (!r.ok) throw new Error(j.error || ('Error ' + r.status));
    return j;
  }

  function aviso(texto) {
    $('aviso').textContent = texto || '';
    $('aviso').classList.toggle('oculto', !texto);
  }

  async function hoy(pagina) {
    try {
      const r = await pide('/api/hoy?filas=10&pagina=' + pagina);
      const t = r.totales;
      $('hoy-totales').textContent = 'Lotes: ' + t.cantidad + ' - Peso total: ' + numero(t.pesoTotal) +
        ' kg - Despachos cerrados: ' + t.despachos +
        (t.ultimoTotal !== undefined ? ' - Acumulador: ' + numero(t.ultimoTotal) + ' kg' : '');
      llena($('hoy'), r.filas);
      paginas($('hoy-paginas'), r, hoy);
    } catch (e) { $('hoy-totales').textContent = e.message; }
  }

  function consulta() {
    const q = new URLSearchParams();
    const texto = $('texto').value;
    if (texto) q.set('aux' + $('dato').value, texto);
    for (const id of ['ticketDesde', 'ticketHasta', 'fechaDesde', 'fechaHasta']) {
      const v = $(id).value.trim();
      if (v) q.set(id, v);
    }
    if ($('linea') && $('linea').value) q.set('linea', $('linea').value);
    if ($('totales').checked) q.set('totales', '1');
    q.set('orden', $('orden').value);
    return q;
  }

  let actual = consulta();
  async function seleccion(pagina) {
    const q = new URLSearchParams(actual);
    q.set('pagina', pagina);
    q.set('filas', '50');
    try {
      const [r, t] = await Promise.all([pide('/api/pesadas?' + q), pide('/api/totales?' + actual)]);
      aviso('');
      $('titulo-seleccion').textContent = r.titulo;
      $('sel-resumen').textContent = (r.descripcion ? 'Filtro: ' + r.descripcion + ' - ' : '') +
        r.cantidad + ' registros - Peso total: ' + numero(t.pesoTotal) + ' kg' +
        (t.sumaTotales !== undefined ? ' - Suma de totales: ' + numero(t.sumaTotales) + ' kg' : '');
      llena($('seleccion'), r.filas);
      paginas($('sel-paginas'), r, seleccion);
      $('xlsx').href = '/descargas/reporte.xlsx?' + actual;
      $('pdf').href = '/descargas/listado.pdf?' + actual;
    } catch (e) { aviso(e.message); }
  }

  $('filtros').addEventListener('submit', (ev) => {
    ev.preventDefault();
    actual = consulta();
    seleccion(0);
  });
  $('limpiar').addEventListener('click', () => {
    $('filtros').reset();
    actual = consulta();
    seleccion(0);
  });

  cabecera($('hoy'));
  cabecera($('seleccion'));
  hoy(0);
  seleccion(0);
})();
