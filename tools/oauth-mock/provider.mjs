// A local OAuth 2.0 provider standing in for Twitch's or Discord's sign-in in
// the tests: oauth2-mock-server (which issues the codes and tokens and checks
// PKCE S256) under the platform's paths, with what it lacks added in front:
//   - a consent page at the authorize path (Authorize or Cancel, as a person
//     would answer; Cancel sends error=access_denied back);
//   - codes bound to their client, redirect address and person, each taken
//     once, and the client secret checked (a wrong one: 401 invalid_client);
//   - the user endpoint: Twitch's OpenID /oauth2/userinfo (sub,
//     preferred_username) or Discord's /api/users/@me (id, username, global_name).
//
// node provider.mjs --platform twitch|discord --client-id ID --client-secret S
//                   --users '{"login":{"id":"123","name":"Shown"}}' [--port 0]
// Prints "listening PORT" once it serves on 127.0.0.1; stops on SIGTERM.
// GET /_mock/calls answers how often each endpoint was called.
import http from 'node:http';
import { OAuth2Issuer, OAuth2Service } from 'oauth2-mock-server';

const args = {};
for (let i = 2; i + 1 < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const platform = args.platform ?? 'twitch';
const users = JSON.parse(args.users ?? '{"viewer":{"id":"1001","name":"Viewer"}}');
const tokenPath = platform === 'discord' ? '/api/oauth2/token' : '/oauth2/token';
const userPath = platform === 'discord' ? '/api/users/@me' : '/oauth2/userinfo';

const issuer = new OAuth2Issuer();
await issuer.keys.generate('RS256');
// The library's own authorize step sits behind the consent page; its userinfo is not used.
const service = new OAuth2Service(issuer, { authorize: '/_mock/authorize', token: tokenPath, userinfo: '/_mock/userinfo' });

const codes = new Map();   // code -> {login, clientId, redirectUri, pkce, used}
const tokens = new Map();  // access token -> login
const calls = { consent: 0, authorize: 0, cancel: 0, token: 0, token_refused: 0, user: 0 };

service.on('beforeAuthorizeRedirect', (redirect, req) => {
  const code = redirect.url.searchParams.get('code');
  if (code) codes.set(code, { login: req.query.login, clientId: req.query.client_id, redirectUri: req.query.redirect_uri,
    pkce: Boolean(req.query.code_challenge), used: false });
});

service.on('beforeResponse', (response, req) => {
  const body = req.body ?? {};
  const refuse = (status, error, description) => {
    calls.token_refused++;
    response.statusCode = status;
    response.body = { error, error_description: description };
  };
  if (body.client_id !== args['client-id'] || body.client_secret !== args['client-secret'])
    return refuse(401, 'invalid_client', 'client authentication failed');
  if (body.grant_type !== 'authorization_code') return refuse(400, 'unsupported_grant_type', 'only authorization_code');
  const issued = codes.get(body.code);
  if (!issued || issued.used) return refuse(400, 'invalid_grant', 'unknown or used authorization code');
  issued.used = true;
  // The library checks a verifier it is given; a code asked for with a challenge must come with one.
  if (issued.pkce && !body.code_verifier) return refuse(400, 'invalid_grant', 'code_verifier required');
  if (issued.clientId !== body.client_id || issued.redirectUri !== body.redirect_uri)
    return refuse(400, 'invalid_grant', 'redirect_uri or client does not match the authorization request');
  tokens.set(response.body.access_token, issued.login);
});

function send(res, status, type, body, headers = {}) {
  res.writeHead(status, { 'Content-Type': type, 'Cache-Control': 'no-store', ...headers });
  res.end(body);
}

const escape = (s) => String(s).replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);

// The person's consent: every query parameter carried on as a hidden field.
function consentPage(url, res) {
  calls.consent++;
  const q = url.searchParams;
  if (q.get('client_id') !== args['client-id'] || !q.get('redirect_uri'))
    return send(res, 400, 'text/html', '<p>Unknown client or no redirect_uri.</p>');
  let hidden = '';
  for (const [k, v] of q) hidden += `<input type="hidden" name="${escape(k)}" value="${escape(v)}">`;
  const first = Object.keys(users)[0];
  send(res, 200, 'text/html; charset=utf-8',
    `<!doctype html><title>Authorize</title><h1>${escape(platform)}: authorize ${escape(q.get('client_id'))}?</h1>` +
    `<form method="post" action="${url.pathname}">${hidden}<label>Account <input name="login" value="${escape(first)}"></label>` +
    '<button name="decision" value="allow">Authorize</button><button name="decision" value="cancel">Cancel</button></form>');
}

function readBody(req) {
  return new Promise((resolve) => {
    let data = '';
    req.on('data', (c) => { data += c; });
    req.on('end', () => resolve(new URLSearchParams(data)));
  });
}

async function consentAnswer(req, res) {
  const form = await readBody(req);
  const back = new URL(form.get('redirect_uri'));
  if (form.get('decision') !== 'allow') {
    calls.cancel++;
    back.searchParams.set('error', 'access_denied');
    back.searchParams.set('error_description', 'The user denied the request');
    if (form.get('state')) back.searchParams.set('state', form.get('state'));
    return send(res, 302, 'text/plain', '', { Location: back.href });
  }
  if (!(form.get('login') in users)) return send(res, 400, 'text/html', '<p>No such account.</p>');
  calls.authorize++;
  form.delete('decision');
  // On to the library's authorize step, which issues the code (and keeps the PKCE challenge).
  req.method = 'GET';
  req.url = '/_mock/authorize?' + form.toString();
  service.requestHandler(req, res);
}

function userAnswer(req, res) {
  calls.user++;
  const auth = req.headers.authorization ?? '';
  const login = auth.startsWith('Bearer ') ? tokens.get(auth.slice(7)) : undefined;
  if (login === undefined) return send(res, 401, 'application/json', JSON.stringify({ message: '401: Unauthorized', code: 0 }));
  const u = users[login];
  const body = platform === 'discord'
    ? { id: u.id, username: u.username ?? login, global_name: u.name ?? null, discriminator: '0' }
    : { sub: u.id, preferred_username: u.name, aud: args['client-id'], iss: issuer.url };
  send(res, 200, 'application/json', JSON.stringify(body));
}

const server = http.createServer((req, res) => {
  const url = new URL(req.url, 'http://127.0.0.1');
  if (url.pathname === '/oauth2/authorize' && req.method === 'GET') return consentPage(url, res);
  if (url.pathname === '/oauth2/authorize' && req.method === 'POST') return void consentAnswer(req, res);
  if (url.pathname === userPath && req.method === 'GET') return userAnswer(req, res);
  if (url.pathname === '/_mock/calls') return send(res, 200, 'application/json', JSON.stringify(calls));
  if (url.pathname === tokenPath) calls.token++;
  service.requestHandler(req, res);
});

server.listen(Number(args.port ?? 0), '127.0.0.1', () => {
  issuer.url = `http://127.0.0.1:${server.address().port}`;
  process.stdout.write(`listening ${server.address().port}\n`);
});
process.on('SIGTERM', () => server.close(() => process.exit(0)));
