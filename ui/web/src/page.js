// The DOM half of the page's dialog framework (web_framework.cpp,
// web_window.cpp). It runs on the page's main thread: it builds each window
// from its template, shows what the program tells it, and queues what the
// user does for the program's UI thread. Nothing here waits on the program.
Module.ql5Page = (function () {
  const windows = new Map();  // page id -> {root, client, controls: Map, menu}
  const boxes = [];
  const du = (n) => 'calc(' + n + ' * var(--du))';
  const kDefaultButton = 1 << 2;
  const kReadOnly = 1 << 3;
  const kTabStop = 1 << 0;

  function desk() { return document.getElementById('desk') || document.body; }

  function element(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function place(e, c) {
    e.style.left = du(c.x);
    e.style.top = du(c.y);
    e.style.width = du(c.w);
    e.style.height = du(c.h);
  }

  function makeControl(win, c) {
    let e;
    switch (c.kind) {
      case 'button':
        e = element('button', 'ctl button', c.text);
        e.type = 'button';
        if (c.styles & kDefaultButton) e.classList.add('default');
        e.addEventListener('click', () => _ql5_page_command(win, c.id));
        break;
      case 'label':
        e = element('div', 'ctl label', c.text);
        break;
      case 'icon':
        e = element('img', 'ctl icon');
        e.src = 'icon-32.png';
        e.alt = '';
        break;
      case 'picture':
        e = element('div', 'ctl picture');
        break;
      case 'combo':
        e = element('select', 'ctl combo');
        e.addEventListener('change', () => _ql5_page_select(win, c.id, e.selectedIndex));
        break;
      case 'progress':
        e = element('div', 'ctl progress');
        e.setAttribute('role', 'progressbar');
        e.appendChild(element('div', 'bar'));
        e.dataset.low = '0';
        e.dataset.high = '100';
        e.dataset.pos = '0';
        break;
      default:
        e = element('input', 'ctl edit');
        e.type = 'text';
        e.value = c.text;
        e.readOnly = (c.styles & kReadOnly) !== 0;
        break;
    }
    place(e, c);
    if (c.kind === 'combo') e.style.height = '';  // the closed field; the list drops down
    if (c.kind === 'icon') { e.style.width = du(21); e.style.height = du(21); }
    e.tabIndex = (c.styles & kTabStop) ? 0 : -1;
    if (c.id !== -1) {
      e.id = 'w' + win + '-c' + c.id;
      e.dataset.control = String(c.id);
    }
    return e;
  }

  // A menu text as the platform shows it: '&' marks the next character as
  // the access key (underlined), '&&' is an ampersand.
  function menuText(item, text) {
    for (let i = 0; i < text.length; ++i) {
      if (text[i] === '&' && i + 1 < text.length) {
        ++i;
        if (text[i] !== '&') {
          item.appendChild(element('u', '', text[i]));
          item.accessKey = text[i].toLowerCase();
          continue;
        }
      }
      item.appendChild(document.createTextNode(text[i]));
    }
  }

  function showProgress(e) {
    const low = Number(e.dataset.low), high = Number(e.dataset.high), pos = Number(e.dataset.pos);
    const share = high > low ? (pos - low) / (high - low) : 0;
    e.firstChild.style.width = (Math.max(0, Math.min(1, share)) * 100) + '%';
    e.setAttribute('aria-valuemin', String(low));
    e.setAttribute('aria-valuemax', String(high));
    e.setAttribute('aria-valuenow', String(pos));
  }

  function createWindow(win, parent, tpl) {
    const root = element('section', 'window');
    root.id = 'window' + win;
    root.dataset.template = String(tpl.id);
    root.hidden = true;
    root.setAttribute('role', 'dialog');
    const bar = element('header', 'titlebar');
    const icon = element('img', 'titleicon');
    icon.src = 'icon-16.png';
    icon.alt = '';
    const title = element('h1', 'title', tpl.caption);
    const menuButton = element('button', 'menubutton', '\u2630');
    menuButton.type = 'button';
    menuButton.title = 'Menu';
    menuButton.hidden = true;
    const menu = element('div', 'menu');
    menu.hidden = true;
    menuButton.addEventListener('click', () => { menu.hidden = !menu.hidden; });
    const close = element('button', 'closebutton', '\u00d7');
    close.type = 'button';
    close.title = 'Close';
    close.addEventListener('click', () => _ql5_page_command(win, 2));
    bar.append(icon, title, menuButton, close);
    const client = element('div', 'client');
    client.style.width = du(tpl.width);
    client.style.height = du(tpl.height);
    const controls = new Map();
    for (const c of tpl.controls) {
      const e = makeControl(win, c);
      client.appendChild(e);
      if (c.id !== -1) controls.set(c.id, e);
    }
    root.append(bar, menu, client);
    root.addEventListener('keydown', (event) => {
      if (event.key === 'Escape') {
        event.preventDefault();
        _ql5_page_command(win, 2);
      } else if (event.key === 'Enter' && event.target.tagName !== 'BUTTON') {
        const def = client.querySelector('button.default');
        if (def && !def.disabled) {
          event.preventDefault();
          _ql5_page_command(win, Number(def.dataset.control));
        }
      }
    });
    let host = desk();
    if (parent) {
      // A window with an owner is modal over it.
      host = element('div', 'overlay');
      host.id = 'overlay' + win;
      host.hidden = true;
      document.body.appendChild(host);
    }
    host.appendChild(root);
    windows.set(win, { root, title, menuButton, menu, controls, host: parent ? host : null });
  }

  function call(op, win, id, a, b) {
    const w = windows.get(win);
    if (!w) return;
    const e = w.controls.get(id);
    switch (op) {
      case 'show':
        w.root.hidden = !a;
        if (w.host) w.host.hidden = !a;
        if (a) {
          const first = w.root.querySelector('.client [tabindex="0"]:not([disabled])');
          if (first) first.focus();
        }
        document.dispatchEvent(new CustomEvent('ql5-window', { detail: { win, shown: !!a } }));
        break;
      case 'remove':
        if (w.host) w.host.remove(); else w.root.remove();
        windows.delete(win);
        break;
      case 'focus': if (e) e.focus(); break;
      case 'title':
        w.title.textContent = a;
        if (!w.host) document.title = a;
        break;
      case 'icon': break;
      case 'menu': {
        const item = element('button', 'menuitem');
        menuText(item, a);
        item.type = 'button';
        item.addEventListener('click', () => { w.menu.hidden = true; _ql5_page_syscommand(win, id); });
        w.menu.appendChild(item);
        w.menuButton.hidden = false;
        break;
      }
      case 'text':
        if (!e) break;
        if (e.tagName === 'INPUT') e.value = a; else e.textContent = a;
        break;
      case 'enable':
        if (!e) break;
        e.disabled = !a;
        e.classList.toggle('disabled', !a);
        if (w.root.dataset.template === '103' && id === 2) setBusy(!a);
        break;
      case 'comboReset': if (e) e.replaceChildren(); break;
      case 'comboAdd':
        if (!e) break;
        e.appendChild(element('option', '', a));
        // Adding to an empty list selects nothing, as the platform's list does.
        if (e.options.length === 1) e.selectedIndex = -1;
        break;
      case 'comboSel': if (e) e.selectedIndex = a; break;
      case 'range': if (e) { e.dataset.low = String(a); e.dataset.high = String(b); showProgress(e); } break;
      case 'pos': if (e) { e.dataset.pos = String(a); showProgress(e); } break;
      default: break;
    }
  }

  // While the main window's Exit is disabled, an update is writing to the
  // unit: a reload or a closed tab then asks first, and the next page in
  // this tab says what state the unit may be in.
  let busy = false;
  function setBusy(on) {
    busy = on;
    try {
      if (on) sessionStorage.setItem('ql5-busy', String(Date.now()));
      else sessionStorage.removeItem('ql5-busy');
    } catch (e) { /* storage off: only the prompt remains */ }
  }
  // This script also runs in the program's worker threads, which have no page.
  if (typeof document !== 'undefined') {
    window.addEventListener('beforeunload', (event) => {
      if (!busy) return;
      event.preventDefault();
      event.returnValue = '';
    });
  }

  function showBox(token, owner, text, caption, icon) {
    const overlay = element('div', 'overlay boxoverlay');
    const box = element('section', 'window messagebox');
    box.setAttribute('role', 'alertdialog');
    box.dataset.token = String(token);
    const bar = element('header', 'titlebar');
    bar.appendChild(element('h1', 'title', caption));
    const body = element('div', 'boxbody');
    if (icon) body.appendChild(element('div', 'boxicon ' + icon));
    body.appendChild(element('p', 'boxtext', text));
    const ok = element('button', 'button default', 'OK');
    ok.type = 'button';
    const finish = () => {
      overlay.remove();
      const i = boxes.indexOf(token);
      if (i >= 0) boxes.splice(i, 1);
      _ql5_page_box_closed(token);
    };
    ok.addEventListener('click', finish);
    box.addEventListener('keydown', (event) => {
      if (event.key === 'Escape' || event.key === 'Enter') { event.preventDefault(); finish(); }
    });
    const buttons = element('div', 'boxbuttons');
    buttons.appendChild(ok);
    box.append(bar, body, buttons);
    overlay.appendChild(box);
    document.body.appendChild(overlay);
    boxes.push(token);
    ok.focus();
  }

  return { createWindow, call, showBox, isBusy: () => busy };
})();
