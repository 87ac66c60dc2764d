'use strict';
// What every live page does with its WebSocket: opens it on this server
// (wss under https), hands each JSON message to alMensaje, says now and then
// that it is open and showing (the server counts that as use of the session,
// up to the bound the manual gives), goes to the sign-in when the session
// has ended, and otherwise, after alCerrar(ev), connects again in 2 s unless
// alCerrar returns false.
window.tolvexEnVivo = function (ruta, alMensaje, alCerrar) {
  let vivo = null;
  function visible() {
    if (vivo && vivo.readyState === WebSocket.OPEN && document.visibilityState === 'visible')
      vivo.send(JSON.stringify({ tipo: 'visible' }));
  }
  setInterval(visible, 30000);
  document.addEventListener('visibilitychange', visible);

  function conecta() {
    const ws = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + ruta);
    vivo = ws;
    ws.onopen = visible;
    ws.onmessage = (ev) => {
      let m;
      try { m = JSON.parse(ev.data); } catch (e) { return; }
      if (m && typeof m === 'object') alMensaje(m);
    };
    ws.onclose = (ev) => {
      if (ev.code === 4001 || ev.code === 1008) { location.href = '/ingreso'; return; }
      if (alCerrar(ev) !== false) setTimeout(conecta, 2000);
    };
  }
  conecta();
};
