# The admin page: markup with the style sheet and the script inlined at build time. The
# credential markers left in the script become the gaps between the constant pieces.
embed_page(admin_page dashboard/admin_page.html
    INLINE STYLE=dashboard/admin_page.css SCRIPT=dashboard/admin_page.js)
