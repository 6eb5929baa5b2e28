// The panel's HTTP API: every call carries the token the page was opened
// with, in a header (which a page of another site cannot send here).
const token = new URLSearchParams(location.search).get("token") || "";

// {ok, status, data}: data is the JSON answer ({error} on a refusal).
export async function call(path, body) {
  const options = {headers: {"X-Veltor-Token": token}};
  if (body !== undefined) {
    options.method = "POST";
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  const response = await fetch("/api/" + path, options);
  let data;
  try {
    data = await response.json();
  } catch {
    data = {error: response.status + " " + response.statusText};
  }
  return {ok: response.ok, status: response.status, data};
}

// Server-sent events, each handler given the event's JSON. An EventSource
// sends no headers: the token goes in the address of this GET.
export function listen(handlers) {
  const source = new EventSource("/api/events?token=" + encodeURIComponent(token));
  for (const [name, handler] of Object.entries(handlers)) {
    source.addEventListener(name, (event) => handler(JSON.parse(event.data)));
  }
  return source;
}
