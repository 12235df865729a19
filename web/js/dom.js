// Small helpers every view uses: elements by id and role, and requests to
// the daemon that send the page to the login form when the token is wanted.

export const $ = (id) => document.getElementById(id);
export const role = (el, name) => el.querySelector(`[data-role="${name}"]`);

let leaving = false;

// Every page-level request: a 401 means the token is missing or wrong.
export async function get(url, init = {}) {
  const r = await fetch(url, { cache: 'no-store', credentials: 'same-origin', ...init });
  if (r.status === 401) {
    if (!leaving) {
      leaving = true;
      location.assign('/login');
    }
    throw new Error('not logged in');
  }
  return r;
}

// The JSON body of a reply, or null.
export async function getJson(url) {
  try {
    const r = await get(url);
    return { status: r.status, body: await r.json().catch(() => null) };
  } catch (e) {
    return { status: 0, body: null };
  }
}
