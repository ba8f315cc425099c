// A fetch that keeps the tests under the server's global limit of 20 requests per calendar
// second (the requests of the MCP server under test count too, so this side takes fewer).
let second = 0;
let sent = 0;
export const PER_SECOND = 10;

export async function pacedFetch(...args) {
    for (;;) {
        const now = Math.floor(Date.now() / 1000);
        if (now !== second) {
            second = now;
            sent = 0;
        }
        if (sent < PER_SECOND) break;
        await new Promise(resolve => setTimeout(resolve, (now + 1) * 1000 - Date.now() + 10));
    }
    sent++;
    return fetch(...args);
}
