# The fleet page and the card repeated in it, kept as real source files and embedded at
# build time. The page's pieces depend on the card's, so one target orders both.
embed_page(fleet_card fleet/fleet_card.html)
embed_page(fleet_page fleet/fleet_page.html
    INLINE STYLE=fleet/fleet_page.css SCRIPT=fleet/fleet_page.js)
add_dependencies(fleet_page_pieces fleet_card_pieces)
