-- wrk script: POSTs {"sql":"select * from kv where id=N"} with N spread over the 1000 rows of the bench table;
-- with the environment variable PARAMS=1 the parameterised form {"sql":"select * from kv where id=?","params":[N]}.
-- With the environment variable CHECK_ANSWERS=1 it also counts answers whose envelope is not errcode 200 (that
-- costs wrk CPU, so the timed runs leave it off).
local threads = {}
local check = os.getenv("CHECK_ANSWERS") == "1"
local params = os.getenv("PARAMS") == "1"

function setup(thread)
    table.insert(threads, thread)
end

local requests = {}

function init(args)
    failed = 0
    math.randomseed(os.time() + math.floor(os.clock() * 1000000))
    -- Formatted once, so the load generator spends its CPU on sending rather than on building requests.
    for id = 1, 1000 do
        local body = '{"sql":"select * from kv where id=' .. id .. '"}'
        if params then
            body = '{"sql":"select * from kv where id=?","params":[' .. id .. ']}'
        end
        requests[id] = wrk.format("POST", nil, {["Content-Type"] = "application/json"}, body)
    end
end

request = function()
    return requests[math.random(1, 1000)]
end

if check then
    response = function(status, headers, body)
        if status ~= 200 or not string.find(body, '"errcode":200', 1, true) then
            failed = failed + 1
        end
    end
end

done = function(summary, latency, requests)
    local total = 0
    for _, thread in ipairs(threads) do
        total = total + thread:get("failed")
    end
    io.write(string.format("failed_answers=%d\n", total))
end
