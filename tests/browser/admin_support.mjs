// Helpers for the admin page's browser tests: API answers shaped like the server's, and a
// fresh tab on the page that the running server serves.
import assert from 'node:assert/strict';
import { mockApi } from './lib.mjs';

export const COLORS = {
    accent: 'rgb(0, 212, 170)', danger: 'rgb(255, 107, 107)', warning: 'rgb(251, 191, 36)',
    basic: 'rgb(254, 188, 46)', border: 'rgb(30, 45, 74)', hint: 'rgb(100, 116, 139)',
    inactive: 'rgb(55, 65, 81)', page: 'rgb(10, 14, 23)',
};

export function health(over = {}) {
    return {
        status: 'ok', version: '1.0.6', uptime_sec: 12, total_execs: 0, blocked_cmds: 0, bytes_captured: 0,
        profile: 'strict', timeout_ms: 5000, max_mem_mb: 64, max_cpu_sec: 5, isolation: 'basic',
        agents_count: 0, rate_1m: 0, max_rate_per_agent: 120, default_token_budget: 0,
        tls: 'use reverse proxy', binary_size: '~186KB', dependencies: 0, ...over,
    };
}

export function agent(over = {}) {
    return {
        name: 'bot', execs: 0, blocked: 0, bytes: 0, last_active: 0, rate_1m: 0, rate_limit: 120,
        tokens_in: 0, tokens_out: 0, tokens_total: 0, token_budget: 0, model: '-', active: false, ...over,
    };
}

export function policy(over = {}) {
    return {
        blacklist: ['rm -rf /', 'curl'], whitelist: ['ls', 'echo'], blacklist_count: 2, whitelist_count: 2,
        profile: 0, max_rate_per_agent: 120, default_token_budget: 0, ...over,
    };
}

// Answers for every call the page makes at load; tests override what they look at.
export function baseHandlers(over = {}) {
    return {
        'GET /api/health': () => health(),
        'GET /api/audit': () => ({ entries: [], total: 0, returned: 0 }),
        'GET /api/agents': () => ({ agents: [], count: 0 }),
        'GET /api/policy': () => policy(),
        ...over,
    };
}

/**
 * Opens the server's page in a tab of a new browser context (close it with
 * page.context().close()). handlers: API answers given inside
 * the browser (mockApi; omit to let calls reach the server). fixedTime: Date.now() in the
 * page, in ms. fakeTimers: install a paused clock so the test moves time itself.
 * Other options go to browser.newPage. Returns { page, calls }.
 */
export async function openAdminPage(browser, server, { handlers, fixedTime, fakeTimers, ...pageOptions } = {}) {
    const page = await browser.newPage(pageOptions);
    const calls = handlers ? await mockApi(page, handlers) : [];
    if (fixedTime !== undefined) await page.clock.setFixedTime(fixedTime);
    if (fakeTimers) {
        await page.clock.install({ time: fakeTimers });
        await page.clock.pauseAt(fakeTimers + 1000);
    }
    const response = await page.goto(server.url + '/');
    assert.equal(response.status(), 200);
    return { page, calls };
}

export function callsTo(calls, method, path) {
    return calls.filter(c => c.method === method && c.path === path);
}

export async function waitForText(page, selector, text, timeout = 5000) {
    await page.waitForFunction(([sel, t]) => {
        const e = document.querySelector(sel);
        return e && e.textContent.includes(t);
    }, [selector, text], { timeout });
}

// Server text must show as text: no element made from it (the history charts are the
// page's own SVG), no dialog, no script error.
export async function assertNothingInjected(page) {
    const injected = await page.evaluate(() => document.querySelectorAll('img, svg:not(.chart), .chart svg, iframe, #xm, [onerror], [onload]').length);
    assert.equal(injected, 0, 'an element was built from server text');
    assert.deepEqual(page.events.dialogs, [], 'a dialog was opened by server text');
    assert.deepEqual(page.events.errors, [], 'the page raised an error');
}

export async function styleOf(page, selector, prop) {
    return page.$eval(selector, (e, p) => getComputedStyle(e)[p], prop);
}
