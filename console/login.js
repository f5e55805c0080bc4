// Operator login: when the backend first answers that a login is needed, the page asks for a name
// and password (or the site's access token) once and opens a session; the session's cookie
// (HttpOnly, never seen by the page) carries every later request and the event stream. The header
// then shows who is logged in, and the controls the role may not use are locked. Without access
// control on the backend nothing is asked.

import { api, setUnauthorizedHandler } from './api.js';
import { $, setText, refusalText } from './dom.js';
import { applyRole } from './roles.js';

const kLoggedInKey = 'otaConsoleLoggedIn';
let asking = false;
let loggedIn = null;

function ask() {
  if (asking) {
    return;
  }
  asking = true;
  setText($('login-error'), '');
  $('login').showModal();
  $('login-user').focus();
}

// Reads who the session acts for; without access control there is nobody to show.
export async function refreshWho() {
  const answer = await api.session();
  const who = $('who');
  if (!answer.ok || !answer.data.user) {
    who.hidden = true;
    applyRole(null);
    return;
  }
  const session = answer.data;
  setText($('who-user'), session.user);
  setText($('who-role'), session.role);
  who.title = `Authenticated by ${session.authenticatedBy}`;
  who.hidden = false;
  applyRole(session.role);
}

async function submit(event) {
  event.preventDefault();
  const user = $('login-user').value.trim();
  const password = $('login-password').value;
  const token = $('login-token').value.trim();
  if ((user === '' || password === '') && token === '') {
    setText($('login-error'), 'Enter a name and password, or the access token');
    return;
  }
  $('login-submit').disabled = true;
  const answer = user !== '' ? await api.loginAs(user, password) : await api.login(token);
  $('login-submit').disabled = false;
  if (!answer.ok) {
    setText($('login-error'), refusalText(answer.error));
    (user !== '' ? $('login-password') : $('login-token')).select();
    return;
  }
  $('login-password').value = '';
  $('login-token').value = '';
  asking = false;
  $('login').close();
  sessionStorage.setItem(kLoggedInKey, '1');
  $('logout').hidden = false;
  await refreshWho();
  loggedIn();
}

async function logout() {
  await api.logout();
  sessionStorage.removeItem(kLoggedInKey);
  $('logout').hidden = true;
  $('who').hidden = true;
  ask();
}

// onLoggedIn: reads everything again once a session is open.
export function initLogin(onLoggedIn) {
  loggedIn = onLoggedIn;
  setUnauthorizedHandler(ask);
  $('login-form').addEventListener('submit', submit);
  // The dialog stays until a session is open: Escape does not dismiss it.
  $('login').addEventListener('cancel', (event) => event.preventDefault());
  $('logout').addEventListener('click', logout);
  $('logout').hidden = sessionStorage.getItem(kLoggedInKey) !== '1';
}
