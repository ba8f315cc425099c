# The admin page: markup with the style sheet and the script inlined at build time (their
# comment lines and indentation dropped), and the README's marked examples as the Connect
# page's snippets. The credential markers left in the script become the gaps between the
# constant pieces.
embed_page(admin_page dashboard/admin_page.html MINIFY
    INLINE STYLE=dashboard/admin_page.css SCRIPT=dashboard/admin_page.js
    SNIPPETS SNIPPETS=README.md)
