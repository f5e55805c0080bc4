// Operator login: when the backend first answers that a token is needed, the page asks for it
// once and opens a session; the session's cookie (HttpOnly, never seen by the page) carries every
// later request and the event stream. Without access control on the backend nothing is asked.

import { api, setUnauthorizedHandler } from './api.js';
import { $, setText, refusalText } from './dom.js';

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
  $('login-token').focus();
}

async function submit(event) {
  event.preventDefault();
  const input = $('login-token');
  const token = input.value.trim();
  if (token === '') {
    return;
  }
  $('login-submit').disabled = true;
  const answer = await api.login(token);
  $('login-submit').disabled = false;
  if (!answer.ok) {
    setText($('login-error'), refusalText(answer.error));
    input.select();
    return;
  }
  input.value = '';
  asking = false;
  $('login').close();
  sessionStorage.setItem(kLoggedInKey, '1');
  $('logout').hidden = false;
  loggedIn();
}

async function logout() {
  await api.logout();
  sessionStorage.removeItem(kLoggedInKey);
  $('logout').hidden = true;
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
